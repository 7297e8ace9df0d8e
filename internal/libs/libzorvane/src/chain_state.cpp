// The chain's state for a client that must never leave a host open:
// whether the chain exists and INPUT reaches it, what stands ahead of the
// hook, the hook put where asked, a glance and a watch of changes, the
// chain's lines kept as text and put back in one commit, the fail-safe
// set, and whether each family's chain holds a given rule set.

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "countries.h"
#include "errors.h"
#include "families.h"
#include "frame.h"
#include "installed.h"
#include "libzorvane.h"
#include "lock.h"
#include "log.h"
#include "names.h"
#include "outputs.h"
#include "packet_filter.h"
#include "proof.h"
#include "reading.h"
#include "rule_reader.h"

namespace zvn {

namespace {

// A text of every active family's section: with IPv6 off the one IPv4
// section stands alone, as the restore text does.
std::string sectioned(const std::vector<std::pair<const Family *, std::string>> &sections)
{
    std::string text;
    for (const auto &[family, body] : sections) {
        if (ipv6_enabled())
            text += packet_filter().section_header(*family);
        text += body;
    }
    return text;
}

// Copies text and its NUL when they fit; the length in *length.
int copy_out_length(const std::string &text, char *out, size_t size_n, size_t *length)
{
    if (length != nullptr)
        *length = text.size();
    return copy_out(text, out, size_n);
}

}  // namespace

int verify_json(const RuleSetSource &source, char *result_json, size_t size_n)
{
    TableReading reading(Records::command);
    if (!reading.locked())
        return -1;
    const RuleSet *set = source();
    if (set == nullptr)
        return -1;
    nlohmann::json result;
    verify_of(reading, *set, result);
    return copy_out(result.dump(), result_json, size_n);
}

int install_sections(const std::vector<ChainSection> &sections)
{
    PacketFilter &filter = packet_filter();
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    // What stands is taken away where the text does not have it; and kept
    // so that a later family's failed install can put an earlier one back:
    // all of the text or none of it.
    std::vector<std::unique_ptr<StandingRead>> looks;
    for (const ChainSection &section : sections)
        looks.push_back(filter.read_standing(*section.family));
    std::vector<std::unique_ptr<KeptChains>> previous;
    if (sections.size() > 1)
        for (std::size_t s = 0; s < sections.size(); ++s)
            previous.push_back(filter.keep(*sections[s].family, &looks[s]->standing()));
    std::vector<std::unique_ptr<RestoreFile>> files;
    const auto remove_all = [&] {
        for (auto &file : files)
            file->remove();
    };
    for (std::size_t s = 0; s < sections.size(); ++s) {
        auto file = filter.write(*sections[s].family, filter.section_text(sections[s], looks[s]->standing()));
        if (!file) {
            remove_all();
            set_error(ZVN_ERROR_FILE, "a restore file could not be written");
            return -1;
        }
        files.push_back(std::move(file));
    }
    // The sets the lines match on stand first (as the text carries them),
    // since the test run needs them; those this call made go again should
    // it fail.
    std::vector<AddressSet> sets;
    for (const ChainSection &section : sections)
        sets.insert(sets.end(), section.sets.begin(), section.sets.end());
    std::vector<std::string> made_sets;
    if (const int status = ensure_sets(filter, sets, made_sets); status != 0) {
        remove_all();
        set_error(ZVN_ERROR_INSTALL, "the address sets of the chain text could not be made (status " +
                                         std::to_string(status) + ")")
            .status = status;
        return status;
    }
    const auto take_back_sets = [&] {
        if (!made_sets.empty())
            filter.destroy_sets(made_sets);
    };
    for (std::size_t s = 0; s < sections.size(); ++s) {
        const ToolVerdict verdict = filter.test({files[s].get()})[0];
        if (verdict.status != 0) {
            take_back_sets();
            for (std::size_t other = 0; other < files.size(); ++other)
                if (other != s)
                    files[other]->remove();
            ErrorRecord &error = set_error(ZVN_ERROR_TEST_REFUSED, std::string("the test run refused the ") +
                                                                       sections[s].family->name + " section (status " +
                                                                       std::to_string(verdict.status) + ")");
            error.status = verdict.status;
            error.family = sections[s].family->key;
            error.tool_words = verdict.words;
            return verdict.status;
        }
    }
    for (auto &kept : previous)
        kept->finish();
    for (std::size_t s = 0; s < sections.size(); ++s) {
        const ToolVerdict verdict = filter.install(*files[s]);
        if (verdict.status == 0)
            continue;
        for (std::size_t earlier = 0; earlier < s; ++earlier) {
            std::vector<std::string> made;
            for (const std::size_t k : sections[earlier].subchains)
                made.push_back(layout_chain_name(k));
            if (!made.empty())
                made.push_back(index_chain);
            if (previous[earlier]->put_back(made) != 0)
                log_record("the ", sections[earlier].family->name, " chain could not be put back as it was");
        }
        take_back_sets();
        ErrorRecord &error = set_error(ZVN_ERROR_INSTALL, std::string("the ") + sections[s].family->name +
                                                              " install failed (status " + std::to_string(verdict.status) +
                                                              ")");
        error.status = verdict.status;
        error.family = sections[s].family->key;
        error.tool_words = verdict.words;
        return verdict.status;
    }
    remove_all();
    // The sets no installed line matches on any more go (where any stood).
    if (!sets.empty() || country_source() != CountrySource::match)
        for (const ChainSection &section : sections)
            forget_sets_but(filter, *section.family, sets_named_in(filter, section));
    return 0;
}

}  // namespace zvn

using namespace zvn;

extern "C" {

int zvn_get_chain_status_json(char *status_json, size_t size_n)
{
    clear_error();
    if (status_json == nullptr)
        return null_argument();
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    PacketFilter &filter = packet_filter();
    nlohmann::json status;
    for (const Family *family : active_families()) {
        InputChain input;
        if (const int input_status = filter.read_input(*family, input); input_status != 0)
            return listing_failed(*family, "INPUT chain", input_status);
        int lines = 0;
        const bool chain = filter.read_chain_lines(*family, lines);
        const auto hooks = std::count_if(input.rules.begin(), input.rules.end(), [](const InputRule &rule) { return rule.hook; });
        nlohmann::json one = {{"chain", chain}, {"hooks", hooks}, {"rule_lines", chain ? lines : 0}};
        if (family->bit == ipv4.bit)
            status = std::move(one);
        else
            status["ipv6"] = std::move(one);
    }
    return copy_out(status.dump(), status_json, size_n);
}

int zvn_get_input_json(char *input_json, size_t size_n)
{
    clear_error();
    if (input_json == nullptr)
        return null_argument();
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    PacketFilter &filter = packet_filter();
    nlohmann::json result = nlohmann::json::object();
    for (const Family *family : active_families()) {
        InputChain input;
        if (const int status = filter.read_input(*family, input); status != 0)
            return listing_failed(*family, "INPUT chain", status);
        std::size_t hook = 0;
        nlohmann::json ahead = nlohmann::json::array();
        for (std::size_t i = 0; i < input.rules.size() && hook == 0; ++i) {
            if (input.rules[i].hook)
                hook = i + 1;
            else if (input.rules[i].can_bypass)
                ahead.push_back(input.rules[i].text);
        }
        if (hook == 0)
            ahead = nlohmann::json::array();
        result[family->key] = {{"policy", input.policy},
                               {"rules", input.rules.size()},
                               {"hook_position", hook},
                               {"ahead", std::move(ahead)}};
    }
    return copy_out(result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), input_json, size_n);
}

void zvn_setup_chain_hook(int where)
{
    clear_error();
    const ChainLock lock;
    if (!lock.locked())
        return;
    setup_and_keep_frame(where);
}

int zvn_watch_changes(void)
{
    clear_error();
    return packet_filter().watch();
}

int zvn_changes_seen(void)
{
    clear_error();
    const int seen = packet_filter().changes_seen();
    if (seen == 2) {
        set_error(ZVN_ERROR_LISTING, "the watch of the packet filter ended");
        return 1;
    }
    return seen;
}

int zvn_get_chain_glance_json(char *glance_json, size_t size_n)
{
    clear_error();
    if (glance_json == nullptr)
        return null_argument();
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    nlohmann::json result = nlohmann::json::object();
    for (const Family *family : active_families()) {
        Glance glance;
        if (const int status = packet_filter().glance(*family, glance); status != 0)
            return listing_failed(*family, "filter table", status);
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(glance.digest));
        result[family->key] = {{"chain", glance.chain}, {"hooks", glance.hooks}, {"lines", glance.lines}, {"digest", hex}};
    }
    return copy_out(result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), glance_json, size_n);
}

int zvn_get_chain_text(char *text, size_t size_n, size_t *length)
{
    clear_error();
    if (length != nullptr)
        *length = 0;
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    PacketFilter &filter = packet_filter();
    // Where an indexed layout stands, its sub-chains are kept with it.
    const auto families = active_families();
    std::vector<std::unique_ptr<StandingRead>> looks;
    for (const Family *family : families)
        looks.push_back(filter.read_standing(*family));
    std::vector<std::unique_ptr<KeptChains>> kept;
    for (std::size_t f = 0; f < looks.size(); ++f)
        kept.push_back(filter.keep(*families[f], &looks[f]->standing()));
    std::vector<std::pair<const Family *, std::string>> sections;
    for (std::size_t f = 0; f < kept.size(); ++f) {
        if (const int status = kept[f]->finish(); status != 0)
            return listing_failed(*families[f], "chain", status);
        std::string chain = kept[f]->chain_text();
        // A chain that matches on sets of the library's own carries their
        // entries, so that it goes back in where they are gone.
        if (chain.find("--match-set zv") != std::string::npos) {
            std::vector<ChainSection> read;
            if (filter.parse_chain_text(ipv6_enabled() ? filter.section_header(*families[f]) + chain : chain, read) &&
                read.size() == 1) {
                attach_sets(filter, read[0]);
                chain = filter.section_chain_text(read[0]);
            }
        }
        sections.emplace_back(families[f], std::move(chain));
    }
    return copy_out_length(sectioned(sections), text, size_n, length);
}

int zvn_install_chain_text(const char *text)
{
    clear_error();
    if (text == nullptr)
        return null_argument();
    std::vector<ChainSection> sections;
    if (!packet_filter().parse_chain_text(text, sections))
        return -1;
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    const int status = install_sections(sections);
    if (status == 0)
        record_chains_install(sections);
    return status;
}

int zvn_failsafe_text_json(const char *allows, char *text, size_t size_n)
{
    clear_error();
    RuleSet set;
    if (allows != nullptr && !read_rules(allows, std::strlen(allows), set))
        return -1;
    for (const Rule &rule : set.rules)
        if (!rule.allow) {
            log_record("the fail-safe set takes only rules that allow; a rule that drops is refused");
            ErrorRecord &error = set_error(ZVN_ERROR_INVALID, "rule " + std::to_string(rule.number) +
                                                                  " (allow): the fail-safe set takes only rules that allow");
            error.rule = rule.number;
            error.key = "allow";
            return -1;
        }
    std::vector<std::pair<const Family *, std::string>> sections;
    for (const Family *family : active_families())
        sections.emplace_back(family, packet_filter().failsafe_text(set, *family, log_limit()));
    const std::string whole = sectioned(sections);
    if (whole.size() > static_cast<std::size_t>(INT_MAX))
        return -1;
    copy_if_fits(whole, text, size_n);
    return static_cast<int>(whole.size());
}

int zvn_verify_chain_json(const char *rules, char *result_json, size_t size_n)
{
    clear_error();
    if (rules == nullptr || result_json == nullptr)
        return null_argument();
    RuleSet storage;
    return verify_json(rules_of_text(rules, storage), result_json, size_n);
}

}  // extern "C"
