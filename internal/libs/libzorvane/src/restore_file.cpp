// The restore file: written privately to /tmp, tested, installed in one
// commit, and a family's chain kept so that it can be put back; and the
// drop log emptied once a new rule set is in force.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "zorvane_internal.h"

namespace zvn {

namespace {

std::string fresh_restore_filename(const Family &family)
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const long nanoseconds =
        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
    return family.file_prefix + std::to_string(nanoseconds) + ".tmp";
}

}  // namespace

// Writes the restore text to a new file in /tmp. The file is created
// exclusively and without following links, so that a name planted in the
// world-writable /tmp can neither redirect nor pre-fill it; it is private to
// root. On any failure the partial file is removed and false returned.
bool write_restore_file(const std::string &text, std::string &restore_filename, const Family &family)
{
    constexpr int attempts = 100;
    int fd = -1;
    for (int attempt = 0; attempt < attempts && fd < 0; ++attempt) {
        restore_filename = fresh_restore_filename(family);
        fd = open(restore_filename.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        log_record("cannot create restore file ", restore_filename, ": ", std::strerror(errno));
        return false;
    }
    log_record("using restore_filename: ", restore_filename);
    const bool written = write_all(fd, text);
    const int write_errno = errno;
    const bool closed = close(fd) == 0;
    if (!written || !closed) {
        log_record("cannot write restore file ", restore_filename, ": ",
                   std::strerror(written ? errno : write_errno));
        std::remove(restore_filename.c_str());
        return false;
    }
    return true;
}

// The restore file of each active family: one with IPv6 off, the IPv4 file
// then the IPv6 file with it on, each of the family's layout (flat where
// none is given) with the chains that stand taken away. Leaves their names
// behind on success; a failure removes what was written.
bool write_restore_files(const RuleSet &set, unsigned int rule_index_start,
                         std::vector<std::string> &restore_filenames, const std::vector<Layout> &layouts,
                         const std::vector<StandingLayout> &standing)
{
    restore_filenames.clear();
    const auto families = active_families();
    for (std::size_t f = 0; f < families.size(); ++f) {
        std::string text, restore_filename;
        if (f < layouts.size())
            layout_text(set, layouts[f], rule_index_start, *families[f], text,
                        f < standing.size() ? standing[f] : StandingLayout{});
        else
            restore_text(set, rule_index_start, text, *families[f]);
        if (!write_restore_file(text, restore_filename, *families[f])) {
            for (const auto &written : restore_filenames)
                std::remove(written.c_str());
            return false;
        }
        restore_filenames.push_back(restore_filename);
    }
    return true;
}

std::vector<Layout> chosen_layouts(const RuleSet &set)
{
    std::vector<Layout> layouts;
    for (const Family *family : active_families())
        layouts.push_back(chosen_layout(set, *family));
    return layouts;
}

int test_restore_file(const std::string &restore_filename, const Family &family)
{
    return do_system_call(command(family.restore_tool, " --test ", restore_filename));
}

// Tests each active family's file; with both families on, the two test
// runs go on side by side (neither changes anything, and a host has more
// than one core). The first failing status in family order, its file kept
// for a look and the other family's removed; or 0.
int test_restore_files(const std::vector<std::string> &restore_filenames)
{
    const auto families = active_families();
    std::vector<int> statuses;
    if (families.size() == 1) {
        statuses.push_back(test_restore_file(restore_filenames[0], *families[0]));
    } else {
        std::vector<std::string> test_runs;
        for (std::size_t f = 0; f < families.size(); ++f)
            test_runs.push_back(command(families[f]->restore_tool, " --test ", restore_filenames[f]));
        statuses = run_side_by_side(test_runs);
    }
    for (std::size_t f = 0; f < families.size(); ++f) {
        if (statuses[f] != 0) {
            for (std::size_t other = 0; other < families.size(); ++other)
                if (other != f)
                    std::remove(restore_filenames[other].c_str());
            return statuses[f];
        }
    }
    return 0;
}

int install_restore_file(const std::string &restore_filename, const Family &family)
{
    return do_system_call(command(family.restore_tool, " -n ", restore_filename));
}

// ---------------------------------------------------------------------------
// Two families at once
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// What stands: the chains of a layout
// ---------------------------------------------------------------------------

namespace {

// Installs a restore text of the library's own making in one commit: the
// status of "iptables-restore -n"; its file removed after success.
int install_text(const std::string &text, const Family &family)
{
    std::string restore_filename;
    if (!write_restore_file(text, restore_filename, family))
        return -1;
    const int ret = install_restore_file(restore_filename, family);
    if (ret == 0)
        std::remove(restore_filename.c_str());
    return ret;
}

}  // namespace

// ZORVANE-INDEX, listed without a shell: its comment names the sub-chains
// of the layout that stands; where it is missing, none stands.
StandingLook::StandingLook(const Family &family)
    : listing_(std::vector<std::string>{family.tool, "-S", index_chain}, 1)
{
}

const StandingLayout &StandingLook::standing()
{
    if (!read_) {
        read_ = true;
        if (listing_.wait() == 0) {
            standing_.index_chain = true;
            standing_.subchains = subchains_named(listing_.kept());
        }
    }
    return standing_;
}

// A family's chain as the tool prints it with -S, listed from the start
// (no shell) while the rule set is read and tested (the listing costs more
// than a test run, and a host has more than one core): should a later
// family's install fail, exactly these lines go back in one commit. The
// listing is kept in an anonymous file, never under a name in /tmp. Where
// an indexed layout stands, the whole table is listed and its chains kept.
ChainKeeper::ChainKeeper(const Family &family, const StandingLayout *standing)
    : family_(family),
      whole_table_(standing != nullptr && standing->index_chain),
      cmd_(whole_table_ ? command(family.tool, " -S") : command(family.tool, " -S ", chain_name)),
      listing_(whole_table_ ? std::vector<std::string>{family.tool, "-S"}
                            : std::vector<std::string>{family.tool, "-S", chain_name},
               1)
{
    log_record("$ ", cmd_);
}

ChainKeeper::~ChainKeeper()
{
    finish();
}

int ChainKeeper::finish()
{
    if (!finished_)
        log_record("$ ", cmd_, " --> ret=", listing_.wait());
    finished_ = true;
    return listing_.wait();
}

std::vector<std::string> ChainKeeper::subchains()
{
    std::vector<std::string> names;
    if (finish() != 0)
        return names;
    std::istringstream listing(listing_.kept());
    std::string line;
    while (std::getline(listing, line))
        if (line.rfind("-N ", 0) == 0 && line != command("-N ", chain_name) && layout_chain(line.substr(3)))
            names.push_back(line.substr(3));
    return names;
}

std::string ChainKeeper::rule_lines()
{
    std::string lines;
    if (finish() != 0)
        return lines;
    std::istringstream listing(listing_.kept());
    std::string line;
    while (std::getline(listing, line))
        if (layout_chain(appended_chain(line)))
            lines += line + "\n";
    return lines;
}

std::string ChainKeeper::chain_text()
{
    std::string text = command("*filter\n:", chain_name, " - [0:0]\n");
    for (const auto &name : subchains())
        text += ":" + name + " - [0:0]\n";
    return text + rule_lines() + "COMMIT\n";
}

int ChainKeeper::put_back(const std::vector<std::string> &made)
{
    if (finish() != 0) {
        log_record("the ", family_.name, " chain was not listed before the change; it keeps the new rules");
        return -1;
    }
    std::string text = chain_text();
    text.insert(text.size() - std::strlen("COMMIT\n"), taken_away(made, subchains()));
    return install_text(text, family_);
}

// "iptables-restore -n" of "-Z" lines for every sub-chain that stands; 0
// where none does.
int zero_subchains(const Family &family)
{
    StandingLook look(family);
    const StandingLayout &standing = look.standing();
    if (standing.subchains == 0)
        return 0;
    std::string text = "*filter\n";
    for (std::size_t k = 1; k <= standing.subchains; ++k)
        text += "-Z " + layout_chain_name(k) + "\n";
    text += "COMMIT\n";
    return install_text(text, family);
}

namespace {

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

// Empties the drop log as "echo -n > FILE" would, but only a regular file:
// the path is looked at without following links and opened without
// blocking, so that a link planted there cannot redirect the truncation and
// a FIFO cannot stall the call (and the lock it holds). Anything else at the
// path is left alone with a record. The records read as the shell
// command's, with the status the shell would give (512: it could not open
// the path).
int clear_drop_log()
{
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

namespace zvn {

namespace {

void remove_files(const std::vector<std::string> &filenames)
{
    for (const auto &filename : filenames)
        std::remove(filename.c_str());
}

// The error channel's entry of a failed test run or install.
int failed_run(int code, const char *what, int status)
{
    set_error(code, std::string(what) + " (status " + std::to_string(status) + ")");
    return status;
}

}  // namespace

// The new rules replace the old ones in the single commit of
// "iptables-restore -n" (the file declares the chain, which empties it):
// there is no moment with an empty chain, and a failed commit keeps the old
// rules. The drop log is emptied only once the new numbering is in force.
// With IPv6 on, both files are tested before either is installed, and an
// IPv6 install that fails puts the IPv4 chain back as it was: all or
// nothing.
int apply_rule_set(const char *rules)
{
    const auto families = active_families();
    const bool both_families = families.size() > 1;
    // Once a layout is chosen, what stands is looked at first: the chains
    // of an earlier layout that the new one does not use are taken away in
    // its commit.
    const bool layout_aware = layout_chosen();
    std::optional<ChainLock> lock;
    std::vector<std::unique_ptr<StandingLook>> looks;
    std::optional<ChainKeeper> previous_ipv4;
    bool looked = false;
    const auto look = [&] {
        looked = true;
        if (layout_aware)
            for (const Family *family : families)
                looks.push_back(std::make_unique<StandingLook>(*family));
        if (both_families)
            previous_ipv4.emplace(ipv4, layout_aware ? &looks[0]->standing() : nullptr);
    };
    // The chains are listed under the lock while the rule set is read,
    // written and tested. Where another operation holds the lock, the text
    // is read first: a refusal need not wait for it.
    const bool looks_first = both_families || layout_aware;
    if (looks_first && lock.emplace(ChainLock::NoWait{}).locked())
        look();
    ParsedRuleSet parsed;
    if (!parse_and_validate(rules, parsed))
        return -1;
    if (looks_first && !looked) {
        if (!lock.emplace().locked())
            return -1;
        look();
    }
    const std::vector<Layout> layouts = chosen_layouts(parsed.set);
    std::vector<StandingLayout> standing;
    for (const auto &one : looks)
        standing.push_back(one->standing());
    std::vector<std::string> restore_filenames;
    if (!write_restore_files(parsed.set, 1, restore_filenames, layouts, standing)) {
        set_error(ZVN_ERROR_FILE, "the restore file could not be written");
        return -1;
    }
    if (!lock) {
        lock.emplace();
        if (!lock->locked())
            return -1;
    }
    if (const int ret = test_restore_files(restore_filenames); ret != 0)
        return failed_run(ZVN_ERROR_TEST_REFUSED, "the test run refused the restore file", ret);
    for (std::size_t f = 0; f < families.size(); ++f) {
        if (f == 0 && previous_ipv4)
            previous_ipv4->finish();
        const int ret = install_restore_file(restore_filenames[f], *families[f]);
        if (ret == 0)
            continue;
        if (f > 0 && previous_ipv4->put_back(layout_subchains(layouts[0])) != 0)
            log_record("the IPv4 chain could not be put back as it was");
        return failed_run(ZVN_ERROR_INSTALL, f > 0 ? "the IPv6 install failed" : "the install failed", ret);
    }
    clear_drop_log();
    remove_files(restore_filenames);
    return 0;
}

int test_rule_set(const char *rules)
{
    ParsedRuleSet parsed;
    std::vector<std::string> restore_filenames;
    if (!parse_and_validate(rules, parsed))
        return -1;
    if (!write_restore_files(parsed.set, 1, restore_filenames, chosen_layouts(parsed.set))) {
        set_error(ZVN_ERROR_FILE, "the restore file could not be written");
        return -1;
    }
    const int ret = test_restore_files(restore_filenames);
    if (ret != 0)
        return failed_run(ZVN_ERROR_TEST_REFUSED, "the test run refused the restore file", ret);
    remove_files(restore_filenames);
    return 0;
}

}  // namespace zvn
