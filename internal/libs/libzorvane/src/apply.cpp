// Applying a rule set: tested whole, then installed in one commit per
// family, the drop log emptied once the new numbering is in force; and the
// dry run.

#include "apply.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "carry_counts.h"
#include "countries.h"
#include "errors.h"
#include "families.h"
#include "installed.h"
#include "layout.h"
#include "libzorvane.h"
#include "lock.h"
#include "log.h"
#include "names.h"
#include "packet_filter.h"
#include "programs.h"
#include "rule_reader.h"

namespace zvn {

namespace {

// Where country rules are written as address sets: each family's names
// (by rule) and sets, made to stand before the test run, and which of them
// this call made (taken away again should it fail).
struct CountryPlan {
    std::vector<std::vector<std::string>> names;
    std::vector<std::vector<AddressSet>> sets;
    std::vector<std::string> created;

    explicit CountryPlan(const RuleSet &set)
    {
        for (const Family *family : active_families()) {
            sets.emplace_back();
            names.push_back(country_set_names(set, *family, &sets.back()));
        }
    }
    const std::vector<std::string> *names_of(std::size_t f) const
    {
        return f < names.size() && !names[f].empty() ? &names[f] : nullptr;
    }
    bool any() const
    {
        return std::any_of(sets.begin(), sets.end(), [](const auto &one) { return !one.empty(); });
    }
    // 0, or the status of the load that failed (with the error channel's entry).
    int stand(PacketFilter &filter)
    {
        std::vector<AddressSet> all;
        for (const auto &one : sets)
            all.insert(all.end(), one.begin(), one.end());
        const int status = ensure_sets(filter, all, created);
        if (status != 0) {
            ErrorRecord &error = set_error(status == 127 * 256 || status == -1 ? ZVN_ERROR_TOOL : ZVN_ERROR_INSTALL,
                                           "the country sets could not be made (status " + std::to_string(status) +
                                               ")");
            error.status = status;
            error.key = "src_country";
            take_back(filter);
        }
        return status;
    }
    // A call that failed leaves the sets it made nowhere.
    void take_back(PacketFilter &filter)
    {
        if (!created.empty())
            filter.destroy_sets(created);
        created.clear();
    }
    // Once the new rules are in force, the sets of the rules before them go.
    void forget_the_old(PacketFilter &filter)
    {
        const auto families = active_families();
        for (std::size_t f = 0; f < families.size(); ++f) {
            std::vector<std::string> keep;
            for (const AddressSet &one : sets[f])
                keep.push_back(one.name);
            forget_sets_but(filter, *families[f], keep);
        }
    }
};

// The restore files of each active family, each of its family's layout with
// the chains that stand taken away; a failure removes what was written.
bool write_restore_files(PacketFilter &filter, const RuleSet &set, Numbering numbering,
                         const std::vector<Layout> &layouts, const std::vector<StandingLayout> &standing,
                         std::vector<std::unique_ptr<RestoreFile>> &files, const CountryPlan &countries,
                         std::vector<std::string> *texts = nullptr,
                         std::vector<std::vector<std::uint32_t>> *line_rules = nullptr)
{
    files.clear();
    const auto families = active_families();
    for (std::size_t f = 0; f < families.size(); ++f) {
        std::vector<std::uint32_t> rules_of_lines;
        std::string text = filter.restore_text(set, layouts[f], numbering, *families[f], log_limit(),
                                               f < standing.size() ? standing[f] : StandingLayout{},
                                               line_rules != nullptr ? &rules_of_lines : nullptr,
                                               countries.names_of(f));
        if (line_rules != nullptr)
            line_rules->push_back(std::move(rules_of_lines));
        auto file = filter.write(*families[f], text);
        if (!file) {
            for (auto &written : files)
                written->remove();
            files.clear();
            set_error(ZVN_ERROR_FILE, "the restore file could not be written");
            return false;
        }
        files.push_back(std::move(file));
        if (texts != nullptr)
            texts->push_back(std::move(text));
    }
    return true;
}

// The error channel's entry of a refused test run or a failed install: its
// status, the family, the tool's words and the rule its line falls in.
int failed_run(int code, const std::string &what, const ToolVerdict &verdict, const Family &family,
               const RuleSet &set, const Layout &layout, PacketFilter &filter, Numbering numbering,
               const std::vector<std::string> *country_sets = nullptr)
{
    // A tool the shell could not start refused nothing.
    const bool not_run = verdict.status == 127 * 256 || verdict.status == 126 * 256 || verdict.status == -1;
    ErrorRecord &error = set_error(not_run ? ZVN_ERROR_TOOL : code,
                                   (not_run ? std::string("the tool could not be run") : what) + " (status " +
                                       std::to_string(verdict.status) + ")");
    error.family = family.key;
    error.status = verdict.status;
    error.tool_words = verdict.words;
    if (verdict.line > 0) {
        std::vector<std::uint32_t> line_rules;
        filter.restore_text(set, layout, numbering, family, log_limit(), {}, &line_rules, country_sets);
        if (static_cast<std::size_t>(verdict.line) <= line_rules.size())
            error.rule = line_rules[static_cast<std::size_t>(verdict.line - 1)];
    }
    return verdict.status;
}

// Tests the files, side by side with both families; the first refusing
// family's verdict (its file kept for a look, the others removed), or
// nothing.
std::optional<std::size_t> refused_family(PacketFilter &filter, std::vector<std::unique_ptr<RestoreFile>> &files,
                                          std::vector<ToolVerdict> &verdicts)
{
    std::vector<RestoreFile *> tested;
    for (auto &file : files)
        tested.push_back(file.get());
    verdicts = filter.test(tested);
    for (std::size_t f = 0; f < files.size(); ++f)
        if (verdicts[f].status != 0) {
            for (std::size_t other = 0; other < files.size(); ++other)
                if (other != f)
                    files[other]->remove();
            return f;
        }
    return std::nullopt;
}

const char *file_kind(mode_t mode)
{
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISSOCK(mode))
        return "a socket";
    return "a device";
}

}  // namespace

RuleSetSource rules_of_text(const char *text, RuleSet &storage)
{
    return [text, &storage]() -> const RuleSet * {
        return read_rules(text, std::strlen(text), storage) ? &storage : nullptr;
    };
}

// The new rules replace the old ones in the single commit of
// "iptables-restore -n" (the file declares the chain, which empties it):
// there is no moment with an empty chain, and a failed commit keeps the old
// rules. The drop log is emptied only once the new numbering is in force.
// With IPv6 on, both files are tested before either is installed, and an
// IPv6 install that fails puts the IPv4 chain back as it was: all or
// nothing.
int apply_rule_set(const RuleSetSource &source, FamilyOrder order)
{
    PacketFilter &filter = packet_filter();
    const auto families = active_families();
    const bool both_families = families.size() > 1;
    // Once a layout is chosen, what stands is looked at first: the chains
    // of an earlier layout that the new one does not use are taken away in
    // its commit.
    const bool layout_aware = layout_chosen();
    std::optional<ChainLock> lock;
    std::vector<std::unique_ptr<StandingRead>> looks;
    // The families in the order of their installs; the first is kept, so
    // that a failed install of the second puts it back.
    std::vector<std::size_t> installs(families.size());
    for (std::size_t f = 0; f < installs.size(); ++f)
        installs[f] = f;
    std::unique_ptr<KeptChains> previous;
    bool looked = false;
    const auto look = [&] {
        looked = true;
        if (layout_aware)
            for (const Family *family : families)
                looks.push_back(filter.read_standing(*family));
        if (both_families)
            previous = filter.keep(*families[installs[0]], layout_aware ? &looks[installs[0]]->standing() : nullptr);
    };
    const auto smaller_first = [&](const RuleSet &set) {
        // The family of fewer rules first: its listing is the cheap one.
        std::size_t in_first = 0, in_second = 0;
        for (const Rule &rule : set.rules) {
            in_first += rule.in_family(*families[0]) ? 1u : 0u;
            in_second += rule.in_family(*families[1]) ? 1u : 0u;
        }
        if (in_second < in_first)
            installs = {1, 0};
    };
    // The chains are listed under the lock while the rule set is read,
    // written and tested. Where another operation holds the lock, the text
    // is read first: a refusal need not wait for it. A set read before (a
    // handle) is there at once: the order of the installs can follow it.
    const bool looks_first = both_families || layout_aware;
    if (looks_first && order == FamilyOrder::ipv4_first && lock.emplace(ChainLock::NoWait{}).locked())
        look();
    const RuleSet *set = source();
    if (set == nullptr)
        return -1;
    if (both_families && order == FamilyOrder::smaller_first)
        smaller_first(*set);
    if (looks_first && !looked) {
        if (!lock || !lock->locked())
            lock.emplace();
        if (!lock->locked())
            return -1;
        look();
    }
    // The counts of the set in force are read while the layout compiles.
    std::optional<CountCarry> carry;
    if (keeping_counts()) {
        if (!lock || !lock->locked())
            lock.emplace();
        if (!lock->locked())
            return -1;
        carry.emplace(filter, families, *set);
    }
    const std::vector<Layout> layouts = chosen_layouts(*set);
    std::vector<StandingLayout> standing;
    for (const auto &one : looks)
        standing.push_back(one->standing());
    CountryPlan countries(*set);
    std::vector<std::unique_ptr<RestoreFile>> files;
    std::vector<std::string> texts;
    std::vector<std::vector<std::uint32_t>> line_rules;
    if (!write_restore_files(filter, *set, Numbering::by_rule, layouts, standing, files, countries, &texts,
                             carry ? &line_rules : nullptr))
        return -1;
    if (!lock) {
        lock.emplace();
        if (!lock->locked())
            return -1;
    }
    // The sets the new lines match on stand before the test run, which
    // needs them; the sets in force are not touched.
    if (countries.any()) {
        if (const int status = countries.stand(filter); status != 0) {
            for (auto &file : files)
                file->remove();
            return status;
        }
    }
    std::vector<ToolVerdict> verdicts;
    if (const auto f = refused_family(filter, files, verdicts)) {
        countries.take_back(filter);
        return failed_run(ZVN_ERROR_TEST_REFUSED, "the test run refused the restore file", verdicts[*f],
                          *families[*f], *set, layouts[*f], filter, Numbering::by_rule, countries.names_of(*f));
    }
    // The counts of the set in force, read while the test ran, go in with
    // the lines the test passed: the same file with counts before each
    // rule's counted line, which the kernel does not judge. The record
    // keeps the lines as they are listed.
    if (carry)
        for (std::size_t f = 0; f < files.size(); ++f) {
            std::string counted = carry->with_counts(f, *set, texts[f], line_rules[f], layouts[f]);
            if (counted.size() == texts[f].size())
                continue;
            auto file = filter.write(*families[f], counted);
            if (!file) {
                for (auto &written : files)
                    written->remove();
                countries.take_back(filter);
                set_error(ZVN_ERROR_FILE, "the restore file could not be written");
                return -1;
            }
            files[f]->remove();
            files[f] = std::move(file);
        }
    for (std::size_t i = 0; i < installs.size(); ++i) {
        const std::size_t f = installs[i];
        if (i == 0 && previous)
            previous->finish();
        const ToolVerdict verdict = filter.install(*files[f]);
        if (verdict.status == 0)
            continue;
        if (i > 0 && previous->put_back(layout_subchains(layouts[installs[0]])) != 0)
            log_record("the ", families[installs[0]]->name, " chain could not be put back as it was");
        countries.take_back(filter);
        return failed_run(ZVN_ERROR_INSTALL,
                          i > 0 ? std::string("the ") + families[f]->name + " install failed" : "the install failed",
                          verdict, *families[f], *set, layouts[f], filter, Numbering::by_rule, countries.names_of(f));
    }
    clear_drop_log();
    for (auto &file : files)
        file->remove();
    // Where countries may be sets, the sets of the rules before these go
    // (with the country match the packet filter's sets are never touched).
    if (country_source() != CountrySource::match)
        countries.forget_the_old(filter);
    record_install(*set, layouts, texts, countries.sets);
    return 0;
}

int test_rule_set(const RuleSetSource &source)
{
    PacketFilter &filter = packet_filter();
    const RuleSet *set = source();
    if (set == nullptr)
        return -1;
    const std::vector<Layout> layouts = chosen_layouts(*set);
    CountryPlan countries(*set);
    std::vector<std::unique_ptr<RestoreFile>> files;
    if (!write_restore_files(filter, *set, Numbering::by_rule, layouts, {}, files, countries))
        return -1;
    // The test run needs the sets the lines match on: made for it where they
    // do not stand, and taken away after it.
    if (countries.any()) {
        if (const int status = countries.stand(filter); status != 0) {
            for (auto &file : files)
                file->remove();
            return status;
        }
    }
    std::vector<ToolVerdict> verdicts;
    const auto refused = refused_family(filter, files, verdicts);
    countries.take_back(filter);
    if (refused)
        return failed_run(ZVN_ERROR_TEST_REFUSED, "the test run refused the restore file", verdicts[*refused],
                          *active_families()[*refused], *set, layouts[*refused], filter, Numbering::by_rule,
                          countries.names_of(*refused));
    for (auto &file : files)
        file->remove();
    return 0;
}

// Empties the drop log as "echo -n > FILE" would, but only a regular file:
// the path is looked at without following links and opened without
// blocking, so that a link planted there cannot redirect the truncation and
// a FIFO cannot stall the call (and the lock it holds). Anything else at the
// path is left alone with a record. The records read as the shell
// command's, with the status the shell would give (512: it could not open
// the path).
int clear_drop_log()
{
    const char *drop_log = places().drop_log;
    const std::string tmp_str = command("echo -n > ", drop_log, " 1>&2");
    log_record("$ ", tmp_str);
    int ret_code = 0;
    struct stat seen {};
    const bool present = lstat(drop_log, &seen) == 0;
    if (!present && errno != ENOENT) {
        ret_code = 512;
    } else if (present && !S_ISREG(seen.st_mode)) {
        log_record("the drop log ", drop_log, " is not a regular file (", file_kind(seen.st_mode),
                   "): it was left alone");
        ret_code = 512;
    } else {
        const int fd = open(drop_log, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        struct stat opened {};
        if (fd < 0 || fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || ftruncate(fd, 0) != 0)
            ret_code = 512;
        if (fd >= 0)
            close(fd);
    }
    log_record("$ ", tmp_str, " --> ret=", ret_code);
    return ret_code;
}

}  // namespace zvn
