// Country sources. A rule's "src_country" is written as the country match
// ("-m geoip", the default, which needs an out-of-tree kernel module) or,
// where the process asks, as an address set of its own per family: the
// union of its countries' ranges from a country database, as networks,
// named for the rule and a digest of its entries ("zv4-14-0123456789ab"),
// so that the name tells what the set must hold and a set another tool
// emptied or changed is seen by comparing the two.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "addresses.h"
#include "packet_filter.h"
#include "rule_model.h"

namespace zvn {

struct Family;

enum class CountrySource { match, sets, automatic };
CountrySource country_source();
void choose_country_source(CountrySource source);
// Whether this process writes country rules as sets: the choice, and for
// the automatic one whether the test run refuses the country match (asked
// of the tool once).
bool countries_as_sets();

// The databases read (none given: the packaged ones).
void choose_country_databases(std::vector<std::string> paths);
std::vector<std::string> country_database_paths();

struct CountryDatabase {
    struct File {
        std::string path;
        bool read = false;
        std::string problem;     // why it was not read
        std::size_t entries = 0;  // ranges of a known code
        long long modified = 0;   // seconds since the epoch
    };
    std::vector<File> files;
    // Per code, per family (0: IPv4, 1: IPv6), the ranges as read.
    std::map<std::string, std::array<std::vector<Interval>, 2>> ranges;
    bool holds(const std::string &code) const { return ranges.count(code) != 0; }
};
// Read once per process and list of paths.
const CountryDatabase &country_database();

// The set a rule with countries gets in a family (from the database).
AddressSet country_set(const Rule &rule, const Family &family);
// Per rule of a set (by index), the name of its country set in a family
// ("" for a rule without countries); empty where countries are matched.
std::vector<std::string> country_set_names(const RuleSet &set, const Family &family,
                                           std::vector<AddressSet> *sets = nullptr);
// Whether a name is one of the library's sets of a family, and for which
// rule: "zv4-14-<12 hex>".
bool is_country_set_name(const std::string &name, const Family &family, std::uint32_t *rule = nullptr);
// The digest a name carries, of the entries it must hold.
std::string entries_digest(const std::vector<std::string> &entries, const Family &family);

// Makes the sets stand with exactly their entries (those that already do
// are left alone): 0 or the run's raw status; created receives the names
// that did not stand before.
int ensure_sets(PacketFilter &filter, const std::vector<AddressSet> &sets, std::vector<std::string> &created);
// Takes away the library's sets of a family that none of keep names.
void forget_sets_but(PacketFilter &filter, const Family &family, const std::vector<std::string> &keep);
// The library's sets a section's lines match on (names in order, once).
std::vector<std::string> sets_named_in(PacketFilter &filter, const ChainSection &section);
// Gives a section the entries of the sets its lines match on, as they
// stand (a chain text that carries them needs no database to go back in).
void attach_sets(PacketFilter &filter, ChainSection &section);

// The library's sets the lines of a table match on in one family, as they
// stand: for the status.
struct SetReport {
    std::string name;
    std::uint32_t rule = 0;  // from 1
    bool stands = false;      // the set exists
    bool intact = false;      // and holds what its name says
    std::size_t entries = 0;
};
std::vector<SetReport> sets_in_table(PacketFilter &filter, const FilterTable &table, const Family &family);

// "" where every named set stands and holds what its name says; else how
// one does not.
std::string sets_differ(PacketFilter &filter, const std::vector<std::string> &names);

// The check's findings of countries with the sets: a code the database
// does not hold (error), a country without networks in a family the rule
// goes to (warning). Each as {rule index, error, code, message}.
struct CountryFinding {
    std::size_t rule;
    bool error;
    const char *code;
    std::string message;
};
std::vector<CountryFinding> country_findings(const RuleSet &set);

}  // namespace zvn
