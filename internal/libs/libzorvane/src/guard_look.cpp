// What a guard of the chain asks: what the last install put in force (its
// record), whether the kernel still holds it with the frame around it, and
// when it does not, exactly that put back. The look is one read of each
// family's table; a table unchanged since the last look found it whole is
// whole without a proof.

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "errors.h"
#include "families.h"
#include "frame.h"
#include "installed.h"
#include "layout.h"
#include "libzorvane.h"
#include "lock.h"
#include "log.h"
#include "names.h"
#include "packet_filter.h"
#include "proof.h"
#include "reading.h"

namespace zvn {

namespace {

nlohmann::json describe(const InstalledRecord &record)
{
    nlohmann::json families = nlohmann::json::object();
    for (const InstalledFamily &one : record.families) {
        const std::size_t lines =
            static_cast<std::size_t>(std::count(one.section.lines.begin(), one.section.lines.end(), '\n'));
        nlohmann::json family = {{"compared", one.proved ? "proved" : "as listed"}, {"lines", lines}};
        family["chains"] = one.section.subchains.size() + 1;
        if (one.proved) {
            family["layout"] = one.indexed ? "indexed" : "flat";
            family["log_limit"] = one.log_limit;
            family["deepest_walk"] = one.deepest_walk;
        }
        families[one.family->key] = std::move(family);
    }
    nlohmann::json described = {{"generation", record.generation},
            {"label", record.label},
            {"program", record.program},
            {"pid", record.pid},
            {"time", record.time},
            {"kind", record.rules_text.empty() ? "chain text" : "rule set"},
            {"rules", record.rules},
            {"families", std::move(families)}};
    if (!record.country_databases.empty()) {
        described["countries"] = record.country_choice == ZVN_COUNTRIES_AUTO ? "auto" : "sets";
        described["country_databases"] = record.country_databases;
    }
    return described;
}

// A family's table as one digest: every chain, its policy and its lines.
std::uint64_t table_digest(const FilterTable &table)
{
    std::uint64_t digest = 0;
    for (const FilterTable::Chain &chain : table.chains) {
        digest = text_digest(chain.name, digest);
        digest = text_digest(chain.policy, digest);
        for (const std::uint32_t l : chain.lines)
            digest = text_digest(table.lines[l].text, digest);
    }
    return digest;
}

// Whether the record's lines match on address sets, whose entries no read
// of the table shows.
bool record_has_sets(const InstalledRecord &record)
{
    return std::any_of(record.families.begin(), record.families.end(),
                       [](const InstalledFamily &one) { return !one.section.sets.empty(); });
}

// Entries of a set can be changed one for another without a header
// changing: at least this often a look proves the sets' entries.
constexpr auto sets_proved_within = std::chrono::seconds(60);

// What the last look found whole, and the repairs that did not take.
struct Memory {
    std::string generation;
    std::map<unsigned, std::uint64_t> whole_digest;
    std::map<unsigned, int> futile_repairs;
    std::chrono::steady_clock::time_point sets_proved{};
};
Memory memory;

struct FamilyLook {
    const Family *family = nullptr;
    const InstalledFamily *installed = nullptr;
    RecordProof proof;
    InputView view;
    FrameState frame;
    std::uint64_t digest = 0;
    bool unchanged = false;  // as when last found whole
    std::vector<std::string> found;
    bool whole() const { return found.empty(); }
};

// Reads each family the record has and judges it.
int look_at(const InstalledRecord &record, const Frame &frame, bool again, std::vector<FamilyLook> &looks)
{
    looks.clear();
    TableReading reading(Records::captured);
    if (!reading.locked())
        return -1;
    PacketFilter &filter = packet_filter();
    // The sets' headers join each family's digest, so that a set another
    // tool flushed, filled or swapped is no unchanged table; and their
    // entries are proved once in a while whatever the headers say.
    std::uint64_t sets_digest = 0;
    bool prove_sets = false;
    if (record_has_sets(record)) {
        std::string headers;
        sets_digest = filter.glance_sets(headers) == 0 ? text_digest(headers, 1) : 0;
        prove_sets = std::chrono::steady_clock::now() - memory.sets_proved >= sets_proved_within;
    }
    for (std::size_t f = 0; f < reading.families().size(); ++f) {
        const Family &family = *reading.families()[f];
        const InstalledFamily *installed = record.of(family);
        if (installed == nullptr)
            continue;
        if (const int status = reading.finish(f); status != 0)
            return listing_failed(family, "filter table", status);
        const FilterTable &table = reading.table(f);
        FamilyLook look;
        look.family = &family;
        look.installed = installed;
        look.digest = text_digest(std::to_string(sets_digest), table_digest(table));
        const auto seen = memory.whole_digest.find(family.bit);
        look.unchanged = !again && !prove_sets && memory.generation == record.generation &&
                         seen != memory.whole_digest.end() && seen->second == look.digest;
        look.view = filter.read_input_view(table);
        look.frame = frame_state(look.view, frame.of(family));
        if (!look.unchanged) {
            look.proof = prove_record(record, *installed, table, filter);
            if (!look.proof.holds)
                look.found.push_back(look.proof.differs);
            const auto faults = look.frame.faults();
            look.found.insert(look.found.end(), faults.begin(), faults.end());
        }
        looks.push_back(std::move(look));
    }
    return 0;
}

// The families' chains that differ put back in one install, all or none;
// the preparation run again where the frame needs it; the hooks put right.
std::vector<std::string> repair(const InstalledRecord &record, const Frame &frame, std::vector<FamilyLook> &looks)
{
    PacketFilter &filter = packet_filter();
    std::vector<std::string> done;
    std::vector<ChainSection> sections;
    for (const FamilyLook &look : looks)
        if (!look.proof.holds && !look.unchanged)
            sections.push_back(look.installed->section);
    if (!sections.empty()) {
        const int status = install_sections(sections);
        done.push_back(status == 0 ? "the chain put back as installed"
                                   : "putting the chain back failed (status " + std::to_string(status) + ")");
    }
    if (std::any_of(looks.begin(), looks.end(), [](const FamilyLook &look) { return look.frame.needs_preparation(); })) {
        const int status = filter.prepare();
        done.push_back(status == 0 ? "the preparation run again"
                                   : "the preparation failed (status " + std::to_string(status) + ")");
    }
    // The hooks, on INPUT as it is now.
    std::vector<FamilyLook> now;
    if (look_at(record, frame, true, now) == 0)
        for (const FamilyLook &look : now) {
            const auto words = repair_hooks(*look.family, look.frame, look.view, frame);
            done.insert(done.end(), words.begin(), words.end());
        }
    return done;
}

// Where a proved family still differs right after its exact lines went
// back in, twice running, the kernel takes them its own way: the record
// keeps them as it took them, instead of a put back every look.
bool adopt_as_listed(InstalledRecord &record, const std::vector<FamilyLook> &after)
{
    bool adopted = false;
    for (const FamilyLook &look : after) {
        if (look.proof.holds || !look.installed->proved)
            continue;
        if (++memory.futile_repairs[look.family->bit] < 2)
            continue;
        const std::size_t installed_lines = static_cast<std::size_t>(
            std::count(look.installed->section.lines.begin(), look.installed->section.lines.end(), '\n'));
        if (look.proof.lines != installed_lines)
            continue;  // not the lines it put back: another tool's change
        for (InstalledFamily &one : record.families)
            if (one.family->bit == look.family->bit && listed_section(*one.family, one.section)) {
                one.proved = false;
                adopted = true;
            }
    }
    return adopted && write_installed(record);
}

}  // namespace

}  // namespace zvn

using namespace zvn;

extern "C" {

int zvn_label_installs(const char *label)
{
    clear_error();
    const std::string text = label == nullptr ? "" : label;
    if (text.size() > 64 || std::any_of(text.begin(), text.end(), [](char c) { return c < 0x20 || c > 0x7e; })) {
        set_error(ZVN_ERROR_ARGUMENT, "a label is at most 64 printable ASCII characters");
        return -1;
    }
    set_install_label(text);
    return 0;
}

int zvn_installed_json(char *record_json, size_t size_n)
{
    clear_error();
    if (record_json == nullptr)
        return null_argument();
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    const RecordRead read = read_installed();
    nlohmann::json result = {{"state", read.state == RecordRead::State::read     ? "read"
                                       : read.state == RecordRead::State::broken ? "broken"
                                                                                 : "none"}};
    if (!read.problem.empty())
        result["problem"] = read.problem;
    if (read.record)
        result["record"] = describe(*read.record);
    return copy_out(result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), record_json, size_n);
}

int zvn_installed_rules(char *rules, size_t size_n)
{
    clear_error();
    if (rules == nullptr)
        return null_argument();
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    const RecordRead read = read_installed();
    // Only a sound record names the set in force: a broken one's copy
    // belongs to this process's past, not to the kernel's present.
    if (!read.record || read.state != RecordRead::State::read || read.record->rules_text.empty())
        return 1;
    return copy_out(read.record->rules_text, rules, size_n);
}

int zvn_installed_same(const char *rules, size_t length)
{
    clear_error();
    if (rules == nullptr)
        return null_argument();
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    const RecordRead read = read_installed();
    if (!read.record || read.state != RecordRead::State::read || read.record->rules_text.empty())
        return 0;
    const InstalledRecord &record = *read.record;
    const LayoutChoice choice = layout_chosen() ? layout_choice() : LayoutChoice::flat;
    const int chosen = choice == LayoutChoice::indexed     ? ZVN_LAYOUT_INDEXED
                       : choice == LayoutChoice::automatic ? ZVN_LAYOUT_AUTO
                                                           : ZVN_LAYOUT_FLAT;
    return record.rules_text.size() == length && record.rules_text.compare(0, length, rules, length) == 0 &&
                   record.layout_choice == chosen && record.log_limit == log_limit() &&
                   record.ipv6 == ipv6_enabled()
               ? 1
               : 0;
}

int zvn_table_installed_json(zvn_table *table, char *result_json, size_t size_n)
{
    clear_error();
    if (table == nullptr || result_json == nullptr)
        return null_argument();
    const RecordRead read = read_installed();
    nlohmann::json result = {{"state", read.state == RecordRead::State::read     ? "read"
                                       : read.state == RecordRead::State::broken ? "broken"
                                                                                 : "none"}};
    if (!read.problem.empty())
        result["problem"] = read.problem;
    if (read.record) {
        result["record"] = describe(*read.record);
        TableReading &reading = table->reading;
        PacketFilter &filter = packet_filter();
        nlohmann::json families = nlohmann::json::object();
        for (std::size_t f = 0; f < reading.families().size(); ++f) {
            const Family &family = *reading.families()[f];
            const InstalledFamily *installed = read.record->of(family);
            const auto set = read.record->set();
            if (installed == nullptr && !set)
                continue;
            if (const int status = reading.finish(f); status != 0)
                return listing_failed(family, "filter table", status);
            RecordProof proof;
            if (installed != nullptr) {
                proof = prove_record(*read.record, *installed, reading.table(f), filter);
            } else {
                // A family the install left alone (IPv6 off in its process):
                // compared with the rule set all the same, in the layout it shows.
                const TableProof shown = prove_table(*set, family, reading.table(f), filter);
                proof.chain = shown.chain;
                proof.holds = shown.mismatch.empty();
                proof.differs = shown.mismatch;
                proof.lines = shown.lines_listed;
                proof.expected_lines = shown.expected.lines();
                proof.holding_lines = shown.lines_holding;
            }
            nlohmann::json one = {{"chain", proof.chain},
                                  {"holds", proof.holds},
                                  {"lines", proof.lines},
                                  {"expected_lines", proof.expected_lines},
                                  {"holding_lines", proof.holding_lines}};
            if (!proof.holds)
                one["differs"] = proof.differs;
            if (installed == nullptr)
                one["left_alone"] = true;
            families[family.key] = std::move(one);
        }
        for (const InstalledFamily &one : read.record->families)
            if (!families.contains(one.family->key))
                families[one.family->key] = {{"unread", true}};
        result["families"] = std::move(families);
    }
    return copy_out(result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), result_json, size_n);
}

int zvn_guard_look(int flags, char *report_json, size_t size_n)
{
    clear_error();
    if (report_json == nullptr)
        return null_argument();
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    nlohmann::json report = {{"whole", false}, {"repaired", false}, {"guarding", false}};
    nlohmann::json notes = nlohmann::json::array();
    RecordRead read = read_installed();
    if (!read.problem.empty())
        report["record_problem"] = read.problem;
    if (!read.record) {
        // Nothing installed through the library since the boot (or a record
        // that was never sound): nothing to put back.
        return copy_out(report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), report_json, size_n) == 0
                   ? 2
                   : -1;
    }
    InstalledRecord record = *read.record;
    report["guarding"] = true;
    report["record"] = describe(record);
    const bool repairing = (flags & ZVN_LOOK_REPAIR) != 0;
    if (read.state != RecordRead::State::read && repairing) {
        // Gone (a /run wiped) or broken: the copy kept serves, and is
        // written again for the next reader.
        if (write_installed(record))
            notes.push_back("the record of the install was written again from the copy kept");
    }
    if (record.generation != memory.generation) {
        memory = Memory{};
        memory.generation = record.generation;
    }
    const Frame frame = read_frame();
    if (!frame.problem.empty())
        notes.push_back(frame.problem);
    std::vector<FamilyLook> looks;
    if (look_at(record, frame, (flags & ZVN_LOOK_AGAIN) != 0, looks) != 0)
        return -1;
    nlohmann::json families = nlohmann::json::object();
    for (const FamilyLook &look : looks)
        families[look.family->key] = {{"whole", look.whole()}, {"found", look.found}};
    for (const InstalledFamily &one : record.families)
        if (!families.contains(one.family->key))
            notes.push_back(std::string("the ") + one.family->name + " chain is not guarded: IPv6 is off here");
    bool whole = std::all_of(looks.begin(), looks.end(), [](const FamilyLook &look) { return look.whole(); });
    if (!whole && repairing) {
        const std::vector<std::string> done = repair(record, frame, looks);
        report["repaired"] = true;
        report["did"] = done;
        std::vector<FamilyLook> after;
        if (look_at(record, frame, true, after) != 0)
            return -1;
        if (adopt_as_listed(record, after)) {
            notes.push_back("the kernel takes the installed lines its own way: they are recorded as it took them");
            report["record"] = describe(record);
            memory = Memory{};
            memory.generation = record.generation;
            look_at(record, frame, true, after);
        }
        for (const FamilyLook &look : after) {
            families[look.family->key]["whole_after"] = look.whole();
            if (!look.whole())
                families[look.family->key]["still"] = look.found;
            else
                memory.futile_repairs.erase(look.family->bit);
        }
        looks = std::move(after);
        whole = std::all_of(looks.begin(), looks.end(), [](const FamilyLook &look) { return look.whole(); });
    }
    if (whole) {
        // Remembered: an unchanged table is whole at the next look without
        // a proof; and where the hook stands, so that it returns there.
        Frame placed = frame;
        bool moved = false;
        if (std::any_of(looks.begin(), looks.end(), [](const FamilyLook &look) { return !look.unchanged; }))
            memory.sets_proved = std::chrono::steady_clock::now();
        for (const FamilyLook &look : looks) {
            memory.whole_digest[look.family->bit] = look.digest;
            FrameFamily &kept = placed.families[look.family->key];
            if (!kept.placed || kept.after_hook != look.frame.after_hook) {
                kept.after_hook = look.frame.after_hook;
                kept.placed = true;
                moved = true;
            }
        }
        if (moved && repairing)
            write_frame(placed);
    } else {
        for (const FamilyLook &look : looks)
            memory.whole_digest.erase(look.family->bit);
    }
    report["whole"] = whole;
    // The sets change without the packet filter's tool telling of it: a
    // guard that waits for its changes must look each interval all the same.
    report["address_sets"] = record_has_sets(record);
    report["families"] = std::move(families);
    report["notes"] = std::move(notes);
    if (copy_out(report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), report_json, size_n) != 0)
        return -1;
    return whole ? 0 : 1;
}

}  // extern "C"
