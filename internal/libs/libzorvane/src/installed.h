// The record of the last install: what a successful install put in force,
// kept under the records directory for whoever looks later (the guard, the
// status, another client). Per family it keeps the chains exactly as they
// went in (what a put back installs again) and how to tell that the kernel
// still holds them: proved against the rule set, its layout and its log
// limit, or, where the set holds a value the tool rewrites or the chains
// came as a chain text, compared line by line with the kernel's own
// listing taken right after the install.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "layout.h"
#include "packet_filter.h"
#include "rule_model.h"

namespace zvn {

struct Family;

struct InstalledFamily {
    const Family *family = nullptr;
    // Proved against the rule set (else compared line by line).
    bool proved = false;
    // As proved: the layout and the log limit installed.
    bool indexed = false;
    unsigned log_limit = 0;
    std::size_t deepest_walk = 0;  // the most lines a packet walks
    // The chains as installed: a put back installs exactly these lines.
    ChainSection section;
};

struct InstalledRecord {
    std::string generation;  // unique to the install
    std::string label;       // the client's word for it (zvn_label_installs)
    std::string program;     // who installed it
    long pid = 0;
    long long time = 0;      // seconds since the epoch
    bool ipv6 = false;       // both families were on
    std::string rules_text;  // the rule set, where one was installed
    std::size_t rules = 0;   // its rules
    // The layout chosen (ZVN_LAYOUT_) and the log limit it was applied with.
    int layout_choice = 0;
    unsigned log_limit = 0;
    // Where the lines match on country sets: the source chosen (ZVN_COUNTRIES_)
    // and the databases the sets were built from.
    int country_choice = 0;
    std::vector<std::string> country_databases;
    std::vector<InstalledFamily> families;
    // The rule set read back (for the proof), made when first needed.
    std::shared_ptr<const RuleSet> set() const;

    const InstalledFamily *of(const Family &family) const;

private:
    mutable std::shared_ptr<const RuleSet> set_;
};

// What reading the record found. A record that is not a regular file of
// root's (a link, a FIFO, a device), is garbled or cut short is broken: it
// is reported, and the copy this process read or wrote last serves.
struct RecordRead {
    enum class State { none, broken, read } state = State::none;
    std::string problem;  // broken: why
    std::shared_ptr<const InstalledRecord> record;  // read, or the kept copy (may be null)
};
RecordRead read_installed();
// The copy this process read or wrote last (null where none).
std::shared_ptr<const InstalledRecord> kept_record();
// Forgets the copy and the label (a test's fresh start, as a new process).
void forget_kept_record();

// Keeps the record of a rule set's install: its layouts and the restore
// texts committed, per active family. A family whose lines the proof
// cannot foretell is listed once more and kept as the kernel took it.
// sets: each family's country sets (what a put back makes stand again).
void record_install(const RuleSet &set, const std::vector<Layout> &layouts, const std::vector<std::string> &texts,
                    const std::vector<std::vector<AddressSet>> &sets = {});
// Keeps the record of a chain text's install: each family's chains as the
// kernel took them (listed once more).
void record_chains_install(const std::vector<ChainSection> &sections);
// Writes a record again (taken as the kernel holds it, or the kept copy
// where /run lost it); false where it cannot be written.
bool write_installed(const InstalledRecord &record);
// A family's chains as the kernel took them, listed now.
bool listed_section(const Family &family, ChainSection &section);

// Installs the sections of a chain text, all or none (zvn_install_chain_text
// after its parse; it records nothing): 0, -1 (with the error channel's
// entry), or the failing run's raw status.
int install_sections(const std::vector<ChainSection> &sections);

// The label later installs carry.
void set_install_label(const std::string &label);

// How a family's table stands against the record.
struct RecordProof {
    bool chain = false;  // ZORVANE stands
    bool holds = false;
    std::string differs;  // where it does not
    std::size_t lines = 0, expected_lines = 0, holding_lines = 0;
    bool indexed = false;
    unsigned log_limit = 0;
};
RecordProof prove_record(const InstalledRecord &record, const InstalledFamily &family, const FilterTable &table,
                         PacketFilter &filter);

// Reads a file of this user's own: opened without following a link and
// without blocking, a regular file that no one else may write. unchanged,
// if given, is shown the file's status first and may spare the read.
enum class OwnFile { none, broken, unchanged, read };
OwnFile read_own_file(const std::string &path, std::string &text, std::string &problem,
                      const std::function<bool(const struct stat &)> &unchanged = {});
// Writes a file of this user's own in the records directory in one rename
// (made exclusively beside it, so that nothing planted redirects it).
bool write_own_file(const std::string &path, const std::string &text);

// A digest of a text (64 bits), to tell a garbled record or a changed
// table from the one seen before; not a defence against someone who can
// write them.
std::uint64_t text_digest(std::string_view text, std::uint64_t seed = 0);

}  // namespace zvn
