// The record of the last install, written after every successful install
// and read by whoever looks later. The file is one header line with a
// digest, the record's description as one JSON line, then the rule set and
// each family's lines as they are, so that a 100,000-rule record is
// written and read without escaping a byte of it.

#include "installed.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "countries.h"
#include "families.h"
#include "libzorvane.h"
#include "log.h"
#include "names.h"
#include "programs.h"
#include "proof.h"
#include "rule_reader.h"

namespace zvn {

namespace {

constexpr const char *magic = "zorvane install record 1 ";
// A record is never this big; a file that is cannot be one.
constexpr off_t largest_record = off_t{1} << 31;

std::mutex record_mutex;
std::shared_ptr<const InstalledRecord> kept;  // what this process read or wrote last
struct FileSeen {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    struct timespec modified {};
} kept_file;
std::string next_label;

std::string record_path()
{
    return std::string(places().records) + "/installed";
}

std::string hex(std::uint64_t value)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::string program_name()
{
    return program_invocation_short_name != nullptr ? program_invocation_short_name : "";
}

// Whether the proof can foretell every line of a family: no value it could
// not read into a meaning (which the tool may rewrite its own way).
bool foretold(const RuleSet &set, const Family &family)
{
    for (const Rule &rule : set.rules)
        if (rule.in_family(family) &&
            (!rule.interface_known || !rule.source_known || !rule.ports_known || rule.option_text))
            return false;
    return true;
}

InstalledRecord new_record()
{
    InstalledRecord record;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    record.time = std::chrono::duration_cast<std::chrono::seconds>(now).count();
    record.pid = static_cast<long>(getpid());
    record.program = program_name();
    record.generation = std::to_string(record.pid) + "-" +
                        std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
    record.ipv6 = ipv6_enabled();
    {
        const std::lock_guard<std::mutex> guard(record_mutex);
        record.label = next_label;
    }
    return record;
}

std::string serialized(const InstalledRecord &record)
{
    nlohmann::json families = nlohmann::json::array();
    std::vector<std::string> sets_texts;
    for (const InstalledFamily &one : record.families) {
        sets_texts.push_back(packet_filter().sets_text(one.section.sets));
        families.push_back({{"family", one.family->key},
                            {"proved", one.proved},
                            {"layout", one.indexed ? "indexed" : "flat"},
                            {"log_limit", one.log_limit},
                            {"deepest_walk", one.deepest_walk},
                            {"subchains", one.section.subchains},
                            {"bytes", one.section.lines.size()},
                            {"sets_bytes", sets_texts.back().size()}});
    }
    const nlohmann::json header = {{"generation", record.generation},
                                   {"label", record.label},
                                   {"program", record.program},
                                   {"pid", record.pid},
                                   {"time", record.time},
                                   {"ipv6", record.ipv6},
                                   {"rules", record.rules},
                                   {"layout_choice", record.layout_choice},
                                   {"log_limit", record.log_limit},
                                   {"country_choice", record.country_choice},
                                   {"country_databases", record.country_databases},
                                   {"rules_bytes", record.rules_text.size()},
                                   {"families", std::move(families)}};
    std::string body = header.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::size_t size = body.size() + record.rules_text.size();
    for (std::size_t f = 0; f < record.families.size(); ++f)
        size += record.families[f].section.lines.size() + sets_texts[f].size();
    body.reserve(size);
    body += record.rules_text;
    for (std::size_t f = 0; f < record.families.size(); ++f)
        body += record.families[f].section.lines + sets_texts[f];
    return magic + hex(text_digest(body)) + "\n" + body;
}

// Why a record file is not one, or "".
std::string parse_record(const std::string &text, InstalledRecord &record)
{
    const std::size_t head = std::strlen(magic);
    if (text.compare(0, head, magic) != 0 || text.size() < head + 17 || text[head + 16] != '\n')
        return "it does not begin as a record";
    const std::string_view body = std::string_view(text).substr(head + 17);
    if (hex(text_digest(body)) != text.substr(head, 16))
        return "its digest does not match its content (garbled or cut short)";
    const std::size_t end = body.find('\n');
    const auto header = nlohmann::json::parse(body.substr(0, end), nullptr, false);
    if (end == std::string_view::npos || !header.is_object())
        return "its description is not JSON";
    try {
        record.generation = header.at("generation").get<std::string>();
        record.label = header.at("label").get<std::string>();
        record.program = header.at("program").get<std::string>();
        record.pid = header.at("pid").get<long>();
        record.time = header.at("time").get<long long>();
        record.ipv6 = header.at("ipv6").get<bool>();
        record.rules = header.at("rules").get<std::size_t>();
        record.layout_choice = header.at("layout_choice").get<int>();
        record.log_limit = header.at("log_limit").get<unsigned>();
        // (not in records of installs without country sets)
        record.country_choice = header.value("country_choice", 0);
        record.country_databases = header.value("country_databases", std::vector<std::string>{});
        std::size_t at = end + 1;
        const std::size_t rules_bytes = header.at("rules_bytes").get<std::size_t>();
        if (rules_bytes > body.size() - at)
            return "it is shorter than it says";
        record.rules_text = std::string(body.substr(at, rules_bytes));
        at += rules_bytes;
        for (const auto &one : header.at("families")) {
            InstalledFamily family;
            const std::string key = one.at("family").get<std::string>();
            if (key != ipv4.key && key != ipv6.key)
                return "it names an unknown family";
            family.family = key == ipv4.key ? &ipv4 : &ipv6;
            family.proved = one.at("proved").get<bool>();
            family.indexed = one.at("layout").get<std::string>() == "indexed";
            family.log_limit = one.at("log_limit").get<unsigned>();
            family.deepest_walk = one.at("deepest_walk").get<std::size_t>();
            family.section.family = family.family;
            family.section.subchains = one.at("subchains").get<std::vector<std::size_t>>();
            const std::size_t bytes = one.at("bytes").get<std::size_t>();
            if (bytes > body.size() - at)
                return "it is shorter than it says";
            family.section.lines = std::string(body.substr(at, bytes));
            at += bytes;
            const std::size_t sets_bytes = one.at("sets_bytes").get<std::size_t>();
            if (sets_bytes > body.size() - at)
                return "it is shorter than it says";
            if (!packet_filter().parse_sets_text(std::string(body.substr(at, sets_bytes)), family.section.sets))
                return "its address sets cannot be read";
            at += sets_bytes;
            if (family.proved && record.rules_text.empty())
                return "a family is proved against a rule set it does not hold";
            record.families.push_back(std::move(family));
        }
        if (at != body.size())
            return "it is longer than it says";
    } catch (const nlohmann::json::exception &) {
        return "its description lacks a part";
    }
    return "";
}

const char *kind_of(mode_t mode)
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

std::uint64_t text_digest(std::string_view text, std::uint64_t seed)
{
    // FNV-1a over eight bytes at a time, then mixed: quick over a record of
    // many megabytes.
    std::uint64_t hash = 0xcbf29ce484222325ULL ^ seed;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        hash = (hash ^ word) * 0x100000001b3ULL;
        hash ^= hash >> 29;
    }
    for (; i < text.size(); ++i)
        hash = (hash ^ static_cast<unsigned char>(text[i])) * 0x100000001b3ULL;
    hash ^= text.size();
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdULL;
    hash ^= hash >> 33;
    return hash;
}

std::shared_ptr<const RuleSet> InstalledRecord::set() const
{
    if (!set_ && !rules_text.empty()) {
        auto set = std::make_shared<RuleSet>();
        if (read_rules(rules_text.data(), rules_text.size(), *set, Told::silent))
            set_ = std::move(set);
    }
    return set_;
}

const InstalledFamily *InstalledRecord::of(const Family &family) const
{
    for (const InstalledFamily &one : families)
        if (one.family->bit == family.bit)
            return &one;
    return nullptr;
}

void set_install_label(const std::string &label)
{
    const std::lock_guard<std::mutex> guard(record_mutex);
    next_label = label;
}

void forget_kept_record()
{
    const std::lock_guard<std::mutex> guard(record_mutex);
    kept.reset();
    kept_file = {};
    next_label.clear();
}

std::shared_ptr<const InstalledRecord> kept_record()
{
    const std::lock_guard<std::mutex> guard(record_mutex);
    return kept;
}

OwnFile read_own_file(const std::string &path, std::string &text, std::string &problem,
                      const std::function<bool(const struct stat &)> &unchanged)
{
    // Opened without following a link and without blocking on a FIFO; only
    // a regular file of our own that no one else may write is taken.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            return OwnFile::none;
        struct stat seen {};
        problem = path + (lstat(path.c_str(), &seen) == 0 && !S_ISREG(seen.st_mode)
                              ? std::string(" is ") + kind_of(seen.st_mode) + ", not a record"
                              : std::string(" cannot be opened: ") + std::strerror(errno));
        return OwnFile::broken;
    }
    struct stat seen {};
    const auto broken = [&](const std::string &why) {
        close(fd);
        problem = path + " " + why;
        return OwnFile::broken;
    };
    if (fstat(fd, &seen) != 0)
        return broken(std::string("cannot be looked at: ") + std::strerror(errno));
    if (!S_ISREG(seen.st_mode))
        return broken(std::string("is ") + kind_of(seen.st_mode) + ", not a record");
    if (seen.st_uid != geteuid() || (seen.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return broken("is not a file of this user's alone");
    if (seen.st_size > largest_record)
        return broken("is too big to be a record");
    if (unchanged && unchanged(seen)) {
        close(fd);
        return OwnFile::unchanged;
    }
    text.assign(static_cast<std::size_t>(seen.st_size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, &text[got], text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    // A file that grew while it was read: what was read is checked as it is.
    close(fd);
    if (got != text.size())
        return broken("could not be read whole");
    return OwnFile::read;
}

RecordRead read_installed()
{
    RecordRead read;
    read.record = kept_record();
    const std::string path = record_path();
    std::string text;
    struct stat seen {};
    const OwnFile file = read_own_file(path, text, read.problem, [&](const struct stat &now) {
        seen = now;
        const std::lock_guard<std::mutex> guard(record_mutex);
        return kept && kept_file.device == now.st_dev && kept_file.inode == now.st_ino &&
               kept_file.size == now.st_size && kept_file.modified.tv_sec == now.st_mtim.tv_sec &&
               kept_file.modified.tv_nsec == now.st_mtim.tv_nsec;
    });
    switch (file) {
    case OwnFile::none:
        return read;
    case OwnFile::broken:
        read.state = RecordRead::State::broken;
        return read;
    case OwnFile::unchanged:
        read.state = RecordRead::State::read;  // the file read before
        return read;
    case OwnFile::read:
        break;
    }
    auto record = std::make_shared<InstalledRecord>();
    if (const std::string why = parse_record(text, *record); !why.empty()) {
        read.state = RecordRead::State::broken;
        read.problem = path + " is not a sound record: " + why;
        return read;
    }
    read.state = RecordRead::State::read;
    read.record = record;
    const std::lock_guard<std::mutex> guard(record_mutex);
    kept = std::move(record);
    kept_file = {seen.st_dev, seen.st_ino, seen.st_size, seen.st_mtim};
    return read;
}

bool write_own_file(const std::string &path, const std::string &text)
{
    const std::string directory = path.substr(0, path.rfind('/'));
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        log_record("cannot make ", directory, ": ", std::strerror(errno));
        return false;
    }
    const std::string temporary = path + ".new." + std::to_string(getpid());
    unlink(temporary.c_str());
    // Created exclusively and without following links, so that nothing
    // planted at the name can redirect it.
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        log_record("cannot create ", temporary, ": ", std::strerror(errno));
        return false;
    }
    const bool written = write_all(fd, text);
    if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
        log_record("cannot write ", path, ": ", std::strerror(errno));
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool write_installed(const InstalledRecord &record)
{
    const std::string path = record_path();
    if (!write_own_file(path, serialized(record)))
        return false;
    struct stat seen {};
    const bool looked = lstat(path.c_str(), &seen) == 0;
    const std::lock_guard<std::mutex> guard(record_mutex);
    kept = std::make_shared<InstalledRecord>(record);
    // A look after it need not read it again.
    kept_file = looked ? FileSeen{seen.st_dev, seen.st_ino, seen.st_size, seen.st_mtim} : FileSeen{};
    return true;
}

bool listed_section(const Family &family, ChainSection &section)
{
    PacketFilter &filter = packet_filter();
    const auto look = filter.read_standing(family);
    const auto chains = filter.keep(family, &look->standing());
    if (chains->finish() != 0)
        return false;
    std::string text = chains->chain_text();
    if (ipv6_enabled())
        text = filter.section_header(family) + text;
    std::vector<ChainSection> sections;
    if (!filter.parse_chain_text(text, sections) || sections.size() != 1)
        return false;
    section = std::move(sections[0]);
    attach_sets(filter, section);
    return true;
}

namespace {

// Where the record cannot be written, the one before it must not stand
// either: a reader would take an older set for the one in force and put it
// back over this install.
void keep_or_forget(const InstalledRecord &record)
{
    if (write_installed(record))
        return;
    unlink(record_path().c_str());
    const std::lock_guard<std::mutex> guard(record_mutex);
    kept.reset();
}

}  // namespace

void record_install(const RuleSet &set, const std::vector<Layout> &layouts, const std::vector<std::string> &texts,
                    const std::vector<std::vector<AddressSet>> &sets)
{
    PacketFilter &filter = packet_filter();
    InstalledRecord record = new_record();
    record.rules_text = set.text;
    record.rules = set.rules.size();
    record.log_limit = log_limit();
    const LayoutChoice choice = layout_chosen() ? layout_choice() : LayoutChoice::flat;
    record.layout_choice = choice == LayoutChoice::indexed     ? ZVN_LAYOUT_INDEXED
                           : choice == LayoutChoice::automatic ? ZVN_LAYOUT_AUTO
                                                               : ZVN_LAYOUT_FLAT;
    const auto families = active_families();
    for (std::size_t f = 0; f < families.size() && f < texts.size(); ++f) {
        InstalledFamily one;
        one.family = families[f];
        one.indexed = layouts[f].indexed;
        one.deepest_walk = layouts[f].deepest_walk;
        one.log_limit = log_limit();
        one.proved = foretold(set, *families[f]);
        if (one.proved) {
            one.section = filter.installed_section(*families[f], texts[f]);
        } else if (!listed_section(*families[f], one.section)) {
            // Not even listed: the lines as written serve the put back, and
            // the chain is compared with them as the kernel lists them.
            one.section = filter.installed_section(*families[f], texts[f]);
        }
        if (f < sets.size())
            one.section.sets = sets[f];
        record.families.push_back(std::move(one));
    }
    if (std::any_of(sets.begin(), sets.end(), [](const std::vector<AddressSet> &some) { return !some.empty(); })) {
        const CountrySource source = country_source();
        record.country_choice = source == CountrySource::sets        ? ZVN_COUNTRIES_SETS
                                : source == CountrySource::automatic ? ZVN_COUNTRIES_AUTO
                                                                     : ZVN_COUNTRIES_MATCH;
        record.country_databases = country_database_paths();
    }
    keep_or_forget(record);
}

void record_chains_install(const std::vector<ChainSection> &sections)
{
    InstalledRecord record = new_record();
    for (const ChainSection &section : sections) {
        InstalledFamily one;
        one.family = section.family;
        if (!listed_section(*section.family, one.section))
            one.section = section;
        record.families.push_back(std::move(one));
    }
    keep_or_forget(record);
}

RecordProof prove_record(const InstalledRecord &record, const InstalledFamily &family, const FilterTable &table,
                         PacketFilter &filter)
{
    RecordProof proof;
    const Family &which = *family.family;
    proof.chain = table.chain(chain_name) != nullptr;
    if (!proof.chain) {
        proof.differs = std::string("the ") + which.name + " chain ZORVANE does not exist";
        return proof;
    }
    if (family.proved) {
        const auto set = record.set();
        if (!set) {
            proof.differs = "the recorded rule set cannot be read";
            return proof;
        }
        ProofPlan plan;
        plan.layout = compile_layout(*set, which, family.indexed ? LayoutChoice::indexed : LayoutChoice::flat);
        plan.expected = expected_chain(*set, which, plan.layout, family.log_limit);
        plan.ready = true;
        const TableProof shown = prove_table(*set, which, table, filter, &plan);
        proof.lines = shown.lines_listed;
        proof.expected_lines = shown.expected.lines();
        proof.holding_lines = shown.lines_holding;
        proof.indexed = shown.indexed;
        // The proof takes the limit the first logging line shows; the
        // record's is the one installed.
        for (const ExpectedRule &rule : shown.expected.rules)
            if (!rule.model->allow) {
                proof.log_limit = rule.limit;
                break;
            }
        if (!shown.mismatch.empty())
            proof.differs = shown.mismatch;
        else if (shown.indexed != family.indexed)
            proof.differs = std::string("the ") + which.name + " chain holds the " +
                            (shown.indexed ? "indexed" : "flat") + " layout, and the " +
                            (family.indexed ? "indexed" : "flat") + " one was installed";
        else if (proof.log_limit != family.log_limit)
            proof.differs = std::string("the ") + which.name + " chain logs " +
                            (proof.log_limit == 0 ? std::string("every drop") : std::to_string(proof.log_limit) + "/sec") +
                            ", and " +
                            (family.log_limit == 0 ? std::string("every drop")
                                                   : std::to_string(family.log_limit) + "/sec") +
                            " was installed";
        proof.holds = proof.differs.empty();
        return proof;
    }
    // Line by line, chain by chain, against the kernel's own listing of it.
    std::vector<std::pair<std::string_view, std::vector<std::string_view>>> wanted;
    std::string_view rest = family.section.lines;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        const std::string_view chain = filter.line_chain(line);
        if (wanted.empty() || wanted.back().first != chain)
            wanted.push_back({chain, {}});
        wanted.back().second.push_back(line);
        ++proof.expected_lines;
    }
    for (const FilterTable::Chain &chain : table.chains) {
        if (layout_chain_index(chain.name) < 0)
            continue;
        proof.lines += chain.lines.size();
        const std::vector<std::string_view> *lines = nullptr;
        for (const auto &[name, its] : wanted)
            if (name == chain.name)
                lines = &its;
        const std::size_t want = lines == nullptr ? 0 : lines->size();
        std::size_t position = 0;
        for (; position < chain.lines.size() && position < want; ++position) {
            if (table.lines[chain.lines[position]].text != (*lines)[position]) {
                if (proof.differs.empty())
                    proof.differs = std::string("the ") + which.name + " chain " + chain.name + " line " +
                                    std::to_string(position + 1) + " is \"" +
                                    std::string(table.lines[chain.lines[position]].text) + "\" where \"" +
                                    std::string((*lines)[position]) + "\" was installed";
                continue;
            }
            ++proof.holding_lines;
        }
        if (proof.differs.empty() && chain.lines.size() != want)
            proof.differs = std::string("the ") + which.name + " chain " + chain.name + " holds " +
                            std::to_string(chain.lines.size()) + " lines, and " + std::to_string(want) +
                            " were installed";
    }
    for (const auto &[name, its] : wanted)
        if (proof.differs.empty() && table.chain(name) == nullptr)
            proof.differs = std::string("the ") + which.name + " chain " + std::string(name) + " is missing";
    proof.holds = proof.differs.empty();
    return proof;
}

}  // namespace zvn
