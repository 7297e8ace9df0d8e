// Country sources: the process's choice, the country database, each rule's
// set of networks, and the sets made to stand, checked and taken away.

#include "countries.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>

#include "families.h"
#include "installed.h"
#include "log.h"

namespace zvn {

namespace {

std::atomic<int> chosen_source{static_cast<int>(CountrySource::match)};
std::mutex database_mutex;
std::vector<std::string> chosen_paths;  // empty: the packaged ones
std::vector<std::string> loaded_paths;
std::unique_ptr<CountryDatabase> loaded;

// The country database Debian packages (tor-geoipdb), one file per family.
const std::vector<std::string> packaged_paths{"/usr/share/tor/geoip", "/usr/share/tor/geoip6"};

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// An address of a database line: IPv6 text, a dotted IPv4 address, or an
// IPv4 address as an integer; the family it is of.
bool database_address(std::string_view text, AddressBits &address, unsigned &family_bit)
{
    if (text.find(':') != std::string_view::npos) {
        const auto parsed = parse_address(text, ipv6);
        family_bit = ipv6.bit;
        if (parsed)
            address = *parsed;
        return parsed.has_value();
    }
    family_bit = ipv4.bit;
    if (text.find('.') != std::string_view::npos) {
        const auto parsed = parse_address(text, ipv4);
        if (parsed)
            address = *parsed;
        return parsed.has_value();
    }
    if (text.empty() || text.size() > 10 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    unsigned long long value = 0;
    for (const char c : text)
        value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 0xffffffffULL)
        return false;
    address = value;
    return true;
}

void read_database_file(const std::string &path, CountryDatabase &database)
{
    CountryDatabase::File file;
    file.path = path;
    std::ifstream in(path, std::ios::binary);
    struct stat seen {};
    if (!in || stat(path.c_str(), &seen) != 0 || !S_ISREG(seen.st_mode)) {
        file.problem = "cannot be read";
        database.files.push_back(file);
        return;
    }
    file.modified = static_cast<long long>(seen.st_mtime);
    std::string line;
    std::size_t malformed = 0;
    while (std::getline(in, line)) {
        const std::string_view text = trimmed(line);
        if (text.empty() || text.front() == '#')
            continue;
        const std::size_t first_comma = text.find(','), second_comma = text.find(',', first_comma + 1);
        if (first_comma == std::string_view::npos || second_comma == std::string_view::npos) {
            ++malformed;
            continue;
        }
        const std::string_view code_text = trimmed(text.substr(second_comma + 1));
        // "??" and whatever is not a code of two letters name no country.
        if (code_text.size() != 2 || !std::isalpha(static_cast<unsigned char>(code_text[0])) ||
            !std::isalpha(static_cast<unsigned char>(code_text[1])))
            continue;
        AddressBits first = 0, last = 0;
        unsigned first_family = 0, last_family = 0;
        if (!database_address(trimmed(text.substr(0, first_comma)), first, first_family) ||
            !database_address(trimmed(text.substr(first_comma + 1, second_comma - first_comma - 1)), last, last_family) ||
            first_family != last_family || first > last) {
            ++malformed;
            continue;
        }
        std::string code{static_cast<char>(std::toupper(static_cast<unsigned char>(code_text[0]))),
                         static_cast<char>(std::toupper(static_cast<unsigned char>(code_text[1])))};
        database.ranges[code][first_family == ipv6.bit ? 1 : 0].push_back({first, last});
        ++file.entries;
    }
    file.read = true;
    if (malformed > 0)
        file.problem = std::to_string(malformed) + " lines are no ranges and were passed over";
    database.files.push_back(file);
}

// The networks that cover an interval exactly, largest first.
void networks_of(Interval interval, const Family &family, std::vector<std::string> &entries)
{
    AddressBits first = interval.first;
    for (;;) {
        unsigned length = family.width;
        // The widest block aligned at first that ends within the interval.
        while (length > 0) {
            const AddressBits mask = host_mask(family.width, length - 1);
            if ((first & mask) != 0 || (first | mask) > interval.last)
                break;
            --length;
        }
        entries.push_back(network_text(first, length, family));
        const AddressBits end = first | host_mask(family.width, length);
        if (end >= interval.last)
            return;
        first = end + 1;
    }
}

std::string hex12(std::uint64_t value)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return std::string(text + 4);
}

std::string database_names()
{
    std::string names;
    for (const std::string &path : country_database_paths())
        names += (names.empty() ? "" : ", ") + path;
    return names;
}

}  // namespace

CountrySource country_source()
{
    return static_cast<CountrySource>(chosen_source.load());
}

void choose_country_source(CountrySource source)
{
    chosen_source.store(static_cast<int>(source));
}

bool countries_as_sets()
{
    switch (country_source()) {
    case CountrySource::match: return false;
    case CountrySource::sets: return true;
    case CountrySource::automatic: return !packet_filter().takes_country_match();
    }
    return false;
}

void choose_country_databases(std::vector<std::string> paths)
{
    const std::lock_guard<std::mutex> guard(database_mutex);
    chosen_paths = std::move(paths);
}

std::vector<std::string> country_database_paths()
{
    const std::lock_guard<std::mutex> guard(database_mutex);
    return chosen_paths.empty() ? packaged_paths : chosen_paths;
}

const CountryDatabase &country_database()
{
    const std::vector<std::string> paths = country_database_paths();
    const std::lock_guard<std::mutex> guard(database_mutex);
    if (!loaded || loaded_paths != paths) {
        auto database = std::make_unique<CountryDatabase>();
        for (const std::string &path : paths)
            read_database_file(path, *database);
        loaded = std::move(database);
        loaded_paths = paths;
    }
    return *loaded;
}

std::string entries_digest(const std::vector<std::string> &entries, const Family &family)
{
    std::uint64_t digest = text_digest(family.key);
    for (const std::string &entry : entries)
        digest = text_digest(entry, digest);
    return hex12(digest);
}

AddressSet country_set(const Rule &rule, const Family &family)
{
    const CountryDatabase &database = country_database();
    std::vector<Interval> ranges;
    for (const std::string &code : rule.countries)
        if (const auto found = database.ranges.find(code); found != database.ranges.end()) {
            const auto &of_family = found->second[family.bit == ipv6.bit ? 1 : 0];
            ranges.insert(ranges.end(), of_family.begin(), of_family.end());
        }
    AddressSet set;
    set.family = &family;
    for (const Interval &interval : merged(std::move(ranges)))
        networks_of(interval, family, set.entries);
    std::sort(set.entries.begin(), set.entries.end());
    set.name = std::string(family.bit == ipv6.bit ? "zv6-" : "zv4-") + std::to_string(rule.number) + "-" +
               entries_digest(set.entries, family);
    return set;
}

std::vector<std::string> country_set_names(const RuleSet &set, const Family &family, std::vector<AddressSet> *sets)
{
    std::vector<std::string> names;
    if (std::none_of(set.rules.begin(), set.rules.end(),
                     [](const Rule &rule) { return rule.source == SourceKind::countries; }) ||
        !countries_as_sets())
        return names;
    names.resize(set.rules.size());
    for (std::size_t r = 0; r < set.rules.size(); ++r) {
        const Rule &rule = set.rules[r];
        if (rule.source != SourceKind::countries || !rule.in_family(family))
            continue;
        AddressSet made = country_set(rule, family);
        names[r] = made.name;
        if (sets != nullptr)
            sets->push_back(std::move(made));
    }
    return names;
}

bool is_country_set_name(const std::string &name, const Family &family, std::uint32_t *rule)
{
    const std::string head = family.bit == ipv6.bit ? "zv6-" : "zv4-";
    if (name.compare(0, 4, head) != 0)
        return false;
    const std::size_t dash = name.find('-', 4);
    if (dash == std::string::npos || dash == 4 || dash > 14 || name.size() != dash + 13)
        return false;
    std::uint64_t number = 0;
    for (std::size_t i = 4; i < dash; ++i) {
        if (name[i] < '0' || name[i] > '9')
            return false;
        number = number * 10 + static_cast<unsigned>(name[i] - '0');
    }
    if (!std::all_of(name.begin() + static_cast<long>(dash) + 1, name.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }))
        return false;
    if (rule != nullptr)
        *rule = static_cast<std::uint32_t>(number);
    return number > 0 && number <= 0xffffffffULL;
}

int ensure_sets(PacketFilter &filter, const std::vector<AddressSet> &sets, std::vector<std::string> &created)
{
    if (sets.empty())
        return 0;
    // Only a set whose name stands is read: a name tells its entries, so
    // a new generation reads nothing.
    std::vector<std::string> wanted, names;
    filter.set_names(names);  // none readable: every set is made
    for (const AddressSet &set : sets)
        if (std::find(names.begin(), names.end(), set.name) != names.end())
            wanted.push_back(set.name);
    std::vector<AddressSet> standing;
    if (!wanted.empty())
        filter.read_sets(wanted, standing);
    std::vector<AddressSet> to_load;
    for (const AddressSet &set : sets) {
        const auto found = std::find_if(standing.begin(), standing.end(),
                                        [&](const AddressSet &one) { return one.name == set.name; });
        if (found != standing.end() && found->entries == set.entries)
            continue;
        if (std::find(names.begin(), names.end(), set.name) == names.end())
            created.push_back(set.name);
        to_load.push_back(set);
    }
    return filter.load_sets(to_load);
}

void forget_sets_but(PacketFilter &filter, const Family &family, const std::vector<std::string> &keep)
{
    std::vector<std::string> names;
    if (filter.set_names(names) != 0)
        return;
    std::vector<std::string> stale;
    for (const std::string &name : names)
        if (is_country_set_name(name, family) && std::find(keep.begin(), keep.end(), name) == keep.end())
            stale.push_back(name);
    if (!stale.empty())
        filter.destroy_sets(stale);  // one still in use elsewhere stays
}

std::vector<std::string> sets_named_in(PacketFilter &filter, const ChainSection &section)
{
    std::vector<std::string> names;
    std::string_view rest = section.lines;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (line.find("--match-set") == std::string_view::npos)
            continue;
        const ToolLine read = filter.read_line(line);
        const std::string name(read.set_name);
        if (is_country_set_name(name, *section.family) && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    return names;
}

void attach_sets(PacketFilter &filter, ChainSection &section)
{
    const std::vector<std::string> names = sets_named_in(filter, section);
    if (names.empty())
        return;
    std::vector<AddressSet> standing;
    if (filter.read_sets(names, standing) != 0)
        return;
    section.sets.clear();
    for (const std::string &name : names)
        for (const AddressSet &set : standing)
            if (set.name == name)
                section.sets.push_back(set);
}

std::vector<SetReport> sets_in_table(PacketFilter &filter, const FilterTable &table, const Family &family)
{
    std::vector<SetReport> reports;
    for (const FilterTable::Line &line : table.lines) {
        if (line.text.find("--match-set") == std::string_view::npos)
            continue;
        const ToolLine read = filter.read_line(line.text);
        SetReport report;
        report.name = std::string(read.set_name);
        if (!is_country_set_name(report.name, family, &report.rule) ||
            std::any_of(reports.begin(), reports.end(), [&](const SetReport &one) { return one.name == report.name; }))
            continue;
        reports.push_back(std::move(report));
    }
    if (reports.empty())
        return reports;
    std::vector<std::string> names;
    for (const SetReport &report : reports)
        names.push_back(report.name);
    std::vector<AddressSet> standing;
    if (filter.read_sets(names, standing) != 0)
        return reports;
    for (SetReport &report : reports)
        for (const AddressSet &set : standing)
            if (set.name == report.name) {
                report.stands = true;
                report.entries = set.entries.size();
                report.intact = entries_digest(set.entries, *set.family) == report.name.substr(report.name.size() - 12);
            }
    return reports;
}

std::string sets_differ(PacketFilter &filter, const std::vector<std::string> &names)
{
    if (names.empty())
        return "";
    std::vector<AddressSet> standing;
    if (const int status = filter.read_sets(names, standing); status != 0)
        return "the address sets cannot be listed (status " + std::to_string(status) + ")";
    for (const std::string &name : names) {
        const auto found = std::find_if(standing.begin(), standing.end(),
                                        [&](const AddressSet &one) { return one.name == name; });
        if (found == standing.end())
            return "the address set " + name + " is missing";
        if (entries_digest(found->entries, *found->family) != name.substr(name.size() - 12))
            return "the address set " + name + " does not hold what it was made with (it holds " +
                   std::to_string(found->entries.size()) + " entries)";
    }
    return "";
}

std::vector<CountryFinding> country_findings(const RuleSet &set)
{
    std::vector<CountryFinding> findings;
    if (std::none_of(set.rules.begin(), set.rules.end(),
                     [](const Rule &rule) { return rule.source == SourceKind::countries; }) ||
        !countries_as_sets())
        return findings;
    const CountryDatabase &database = country_database();
    const bool any_read = std::any_of(database.files.begin(), database.files.end(),
                                      [](const CountryDatabase::File &file) { return file.read; });
    for (std::size_t r = 0; r < set.rules.size(); ++r) {
        const Rule &rule = set.rules[r];
        if (rule.source != SourceKind::countries)
            continue;
        if (!any_read) {
            findings.push_back({r, true, "country-database",
                                "no country database could be read (" + database_names() +
                                    "): the rule's countries have no networks to match"});
            continue;
        }
        std::vector<std::string> unknown;
        for (const std::string &code : rule.countries)
            if (!database.holds(code))
                unknown.push_back(code);
        for (const std::string &code : unknown)
            findings.push_back({r, true, "unknown-country",
                                "the country database (" + database_names() + ") holds no networks for \"" + code +
                                    "\": the rule would match nothing of it"});
        if (!unknown.empty())
            continue;
        for (const Family *family : active_families()) {
            if (!rule.in_family(*family))
                continue;
            std::string without;
            std::size_t lacking = 0;
            for (const std::string &code : rule.countries)
                if (database.ranges.at(code)[family->bit == ipv6.bit ? 1 : 0].empty()) {
                    without += (without.empty() ? "" : ",") + code;
                    ++lacking;
                }
            if (lacking == rule.countries.size())
                findings.push_back({r, false, "country-family",
                                    std::string("the countries have no ") + family->name +
                                        " networks in the database: the rule matches nothing there"});
            else if (lacking > 0)
                findings.push_back({r, false, "country-family",
                                    without + (lacking == 1 ? " has no " : " have no ") + family->name +
                                        " networks in the database: the rule matches only its other countries there"});
        }
    }
    return findings;
}

}  // namespace zvn
