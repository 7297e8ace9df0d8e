// A chain's lines as text: kept as the kernel holds them, put back in one
// commit, the fail-safe set a host falls back to, and whether each family's
// chain holds a given rule set. These serve a client that must never leave
// a host open: a change rolled back by another process, a boot whose saved
// rule set cannot be restored.

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "libzorvane.h"
#include "zorvane_internal.h"

namespace zvn {

namespace {

const std::string chain_head = std::string("*filter\n:") + chain_name + " - [0:0]\n";
constexpr const char *failsafe_prefix = "FAILSAFE ACT=DROP";

// The line that opens a family's section where both families are in play:
// the tool that takes the section, as zvn_restore_text_json writes it.
std::string section_header(const Family &family)
{
    return command("# ", family.restore_tool, "\n");
}

// The text of every active family's section: with IPv6 off the one IPv4
// section stands alone, as the restore text does.
std::string sectioned(const std::vector<std::pair<const Family *, std::string>> &sections)
{
    std::string text;
    for (const auto &[family, body] : sections) {
        if (ipv6_enabled())
            text += section_header(*family);
        text += body;
    }
    return text;
}

// Copies text and its NUL when they fit; the length in *length.
int copy_out(const std::string &text, char *out, size_t size_n, size_t *length)
{
    if (length != nullptr)
        *length = text.size();
    return zvn::copy_out(text, out, size_n);
}

struct Section {
    const Family *family;
    std::vector<std::size_t> subchains;  // the numbers of the sub-chains it declares
    std::string lines;                   // its "-A" lines (ZORVANE-INDEX's left out)
};

// The number of a sub-chain's name ("ZORVANE-12": 12), 0 for another name.
std::size_t subchain_number(std::string_view name)
{
    const long k = layout_chain_index(name);
    return k > 0 ? static_cast<std::size_t>(k) : 0;
}

// The chains beside ZORVANE a section declares: its sub-chains and, where
// it has any, the index chain naming them.
std::vector<std::string> declared_subchains(const Section &section)
{
    std::vector<std::string> names;
    for (const std::size_t k : section.subchains)
        names.push_back(layout_chain_name(k));
    if (!names.empty())
        names.push_back(index_chain);
    return names;
}

// A section's restore text: the chain and its sub-chains declared, the
// index chain naming them, their lines, and the chains that stand but are
// not in the section taken away in the same commit.
std::string section_text(const Section &section, const StandingLayout &standing)
{
    std::string text = chain_head;
    const std::vector<std::string> declared = declared_subchains(section);
    for (const auto &name : declared)
        text += ":" + name + " - [0:0]\n";
    text += section.lines;
    if (!section.subchains.empty())
        text += command("-A ", index_chain, " -m comment --comment \"",
                        index_comment(*std::max_element(section.subchains.begin(), section.subchains.end())), "\"\n");
    return text + taken_away(standing_chains(standing), declared) + "COMMIT\n";
}

// Splits a chain text into its families' sections and checks that each is
// a restore file of the chain alone: "*filter", the chain's declaration,
// the declarations of its sub-chains (ZORVANE-<n>, ZORVANE-INDEX), their
// "-A" lines, "COMMIT". Anything else (another table or chain, a policy, a
// jump to a sub-chain not declared, a second section of one family, a
// family that is off) refuses the whole text, with a record.
bool parse_sections(const std::string &text, std::vector<Section> &sections)
{
    std::istringstream in(text);
    std::string line;
    Section *current = nullptr;
    enum class Expect { table, chain, rules } expect = Expect::table;
    bool index_declared = false;
    const auto refuse = [](const std::string &why) {
        log_record("the chain text is refused: ", why);
        set_error(ZVN_ERROR_CHAIN_TEXT, "the chain text is refused: " + why);
        return false;
    };
    const auto declared = [&](std::string_view name) {
        if (name == chain_name)
            return true;
        if (name == index_chain)
            return index_declared;
        const std::size_t k = subchain_number(name);
        return k != 0 && std::find(current->subchains.begin(), current->subchains.end(), k) != current->subchains.end();
    };
    while (std::getline(in, line)) {
        const Family *named = nullptr;
        for (const Family *family : {&ipv4, &ipv6})
            if (line + "\n" == section_header(*family))
                named = family;
        if (named != nullptr || current == nullptr) {
            if (current != nullptr && expect != Expect::table)
                return refuse("the " + std::string(current->family->name) + " section has no COMMIT");
            const Family *family = named != nullptr ? named : &ipv4;
            if (family->bit == ipv6.bit && !ipv6_enabled())
                return refuse("it holds an IPv6 section, and IPv6 is off");
            for (const Section &seen : sections)
                if (seen.family == family)
                    return refuse("it holds two " + std::string(family->name) + " sections");
            sections.push_back({family, {}, ""});
            current = &sections.back();
            expect = Expect::table;
            index_declared = false;
            if (named != nullptr)
                continue;
        }
        const bool control = std::any_of(line.begin(), line.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        });
        if (control)
            return refuse("a line holds a control character");
        switch (expect) {
        case Expect::table:
            if (line != "*filter")
                return refuse("\"" + line + "\" where \"*filter\" belongs");
            expect = Expect::chain;
            break;
        case Expect::chain:
            if (line + "\n" != chain_head.substr(chain_head.find('\n') + 1))
                return refuse("\"" + line + "\" where the chain's declaration belongs");
            expect = Expect::rules;
            break;
        case Expect::rules: {
            if (line == "COMMIT") {
                expect = Expect::table;
                current = nullptr;
                break;
            }
            const std::string_view view = line;
            if (line[0] == ':' && line.size() > 9 && view.substr(line.size() - 8) == " - [0:0]") {
                const std::string_view name = view.substr(1, line.size() - 9);
                const std::size_t k = subchain_number(name);
                if (name == index_chain && !index_declared)
                    index_declared = true;
                else if (k != 0 && !declared(name) && current->lines.empty())
                    current->subchains.push_back(k);
                else
                    return refuse("\"" + line + "\" declares no sub-chain of the chain");
                break;
            }
            const std::string_view appended_to = appended_chain(view);
            if (appended_to.empty() || !declared(appended_to))
                return refuse("\"" + line + "\" is no rule line of the chain");
            std::istringstream words(line);
            std::string word, previous;
            while (words >> word) {
                if ((previous == "-g" || previous == "-j") && layout_chain(word) && !declared(word))
                    return refuse("\"" + line + "\" goes to a chain the text does not declare");
                previous = word;
            }
            if (appended_to != index_chain)
                current->lines += line + "\n";
            break;
        }
        }
    }
    if (current != nullptr)
        return refuse("the " + std::string(current->family->name) + " section has no COMMIT");
    if (sections.empty())
        return refuse("it holds no chain");
    return true;
}

}  // namespace

}  // namespace zvn

using namespace zvn;

extern "C" {

int zvn_get_chain_text(char *text, size_t size_n, size_t *length)
{
    clear_error();
    if (length != nullptr)
        *length = 0;
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    // Where an indexed layout stands, its sub-chains are kept with it.
    std::vector<std::unique_ptr<StandingLook>> looks;
    for (const Family *family : active_families())
        looks.push_back(std::make_unique<StandingLook>(*family));
    std::vector<std::unique_ptr<ChainKeeper>> kept;
    for (std::size_t f = 0; f < looks.size(); ++f)
        kept.push_back(std::make_unique<ChainKeeper>(*active_families()[f], &looks[f]->standing()));
    std::vector<std::pair<const Family *, std::string>> sections;
    for (std::size_t f = 0; f < kept.size(); ++f) {
        if (const int status = kept[f]->finish(); status != 0)
            return listing_failed(*active_families()[f], "chain", status);
        sections.emplace_back(active_families()[f], kept[f]->chain_text());
    }
    return copy_out(sectioned(sections), text, size_n, length);
}

int zvn_install_chain_text(const char *text)
{
    clear_error();
    if (text == nullptr)
        return null_argument();
    std::vector<Section> sections;
    if (!parse_sections(text, sections))
        return -1;
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    // What stands is taken away where the text does not have it; and kept
    // so that a later family's failed install can put an earlier one back:
    // all of the text or none of it.
    std::vector<std::unique_ptr<StandingLook>> looks;
    for (const Section &section : sections)
        looks.push_back(std::make_unique<StandingLook>(*section.family));
    std::vector<std::unique_ptr<ChainKeeper>> previous;
    if (sections.size() > 1)
        for (std::size_t s = 0; s < sections.size(); ++s)
            previous.push_back(std::make_unique<ChainKeeper>(*sections[s].family, &looks[s]->standing()));
    std::vector<std::string> filenames;
    const auto remove_all = [&] {
        for (const auto &filename : filenames)
            std::remove(filename.c_str());
    };
    for (std::size_t s = 0; s < sections.size(); ++s) {
        const Section &section = sections[s];
        std::string filename;
        if (!write_restore_file(section_text(section, looks[s]->standing()), filename, *section.family)) {
            remove_all();
            set_error(ZVN_ERROR_FILE, "a restore file could not be written");
            return -1;
        }
        filenames.push_back(filename);
    }
    for (std::size_t s = 0; s < sections.size(); ++s)
        if (const int ret = test_restore_file(filenames[s], *sections[s].family); ret != 0) {
            for (std::size_t other = 0; other < filenames.size(); ++other)
                if (other != s)
                    std::remove(filenames[other].c_str());
            set_error(ZVN_ERROR_TEST_REFUSED, std::string("the test run refused the ") + sections[s].family->name +
                                                  " section (status " + std::to_string(ret) + ")");
            return ret;
        }
    for (auto &kept : previous)
        kept->finish();
    for (std::size_t s = 0; s < sections.size(); ++s) {
        const int ret = install_restore_file(filenames[s], *sections[s].family);
        if (ret == 0)
            continue;
        for (std::size_t earlier = 0; earlier < s; ++earlier)
            if (previous[earlier]->put_back(declared_subchains(sections[earlier])) != 0)
                log_record("the ", sections[earlier].family->name, " chain could not be put back as it was");
        set_error(ZVN_ERROR_INSTALL, std::string("the ") + sections[s].family->name + " install failed (status " +
                                         std::to_string(ret) + ")");
        return ret;
    }
    remove_all();
    return 0;
}

int zvn_failsafe_text_json(const char *allows, char *text, size_t size_n)
{
    clear_error();
    ParsedRuleSet parsed;
    if (allows != nullptr && !parse_and_validate(allows, parsed))
        return -1;
    for (const Rule &rule : parsed.set.rules)
        if (!rule.allow) {
            log_record("the fail-safe set takes only rules that allow; a rule that drops is refused");
            set_error(ZVN_ERROR_INVALID, "rule " + std::to_string(rule.number) +
                                             " (allow): the fail-safe set takes only rules that allow");
            return -1;
        }
    std::vector<std::pair<const Family *, std::string>> sections;
    for (const Family *family : active_families()) {
        std::string extra;
        restore_text(parsed.set, 1, extra, *family);
        // The rule lines between the head and "COMMIT".
        extra = extra.substr(chain_head.size(), extra.size() - chain_head.size() - std::strlen("COMMIT\n"));
        const std::string append = command("-A ", chain_name);
        sections.emplace_back(
            family, command(chain_head, append, " -i lo -j ACCEPT\n", append,
                            " -m state --state RELATED,ESTABLISHED -j ACCEPT\n", extra, append,
                            log_limit_options(log_limit()), " -j NFLOG --nflog-prefix  \"", failsafe_prefix, "\"\n", append, " -j DROP\nCOMMIT\n"));
    }
    const std::string whole = sectioned(sections);
    if (whole.size() > static_cast<std::size_t>(INT_MAX))
        return -1;
    if (text != nullptr && whole.size() + 1 <= size_n)
        std::memcpy(text, whole.c_str(), whole.size() + 1);
    return static_cast<int>(whole.size());
}

int zvn_verify_chain_json(const char *rules, char *result_json, size_t size_n)
{
    clear_error();
    if (rules == nullptr || result_json == nullptr)
        return null_argument();
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    const auto families = active_families();
    std::vector<std::unique_ptr<LayoutListing>> listings;
    for (const Family *family : families)
        listings.push_back(std::make_unique<LayoutListing>(*family, LayoutListing::Records::command));
    ParsedRuleSet parsed;
    if (!parse_and_validate(rules, parsed))
        return -1;
    nlohmann::json result = nlohmann::json::object();
    for (std::size_t f = 0; f < families.size(); ++f) {
        const int status = listings[f]->finish();
        const bool indexed = listings[f]->indexed();
        nlohmann::json one = {{"chain", status == 0 || indexed}};
        if (status != 0 && !indexed) {
            one["holds"] = false;
            one["differs"] = "the chain does not exist or cannot be listed";
        } else {
            const ChainListingParser &parser = listings[f]->parser();
            const ListingProof proof = prove_listing(parsed.set, *families[f], parser, listings[f]->listing());
            const std::string mismatch =
                status != 0 ? "the sub-chains of the indexed layout cannot be listed" : proof.mismatch;
            one["holds"] = mismatch.empty();
            one["layout"] = indexed ? "indexed" : "flat";
            one["chains"] = parser.chains_listed();
            one["lines"] = parser.lines_listed();
            one["expected_lines"] = proof.expected.lines();
            if (mismatch.empty())
                one["deepest_walk"] = proof.layout.deepest_walk;
            else
                one["differs"] = mismatch;
        }
        result[families[f]->key] = std::move(one);
    }
    return copy_out(result.dump(), result_json, size_n, nullptr);
}

}  // extern "C"
