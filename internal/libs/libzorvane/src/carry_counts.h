// Counts carried over an apply: each rule of the new set starts with the
// packets and bytes of the same rule (the same verdict and meaning, whatever
// its number) of the set in force, so that a re-apply or an edit elsewhere
// does not zero them. The counts of the set in force are read while the new
// layout is compiled; the restore file then carries them on each rule's
// counted line ("[packets:bytes]", installed with the tool's -c).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "families.h"
#include "packet_filter.h"
#include "rule_model.h"

namespace zvn {

bool keeping_counts();
void keep_counts(bool keep);

class CountCarry {
public:
    // Starts a read of each family's table where the record names a rule
    // set in force (nothing otherwise: every count starts at zero). The set
    // about to go in: where it is the one in force, it is not read again.
    CountCarry(PacketFilter &filter, const std::vector<const Family *> &families, const RuleSet &incoming);
    ~CountCarry();
    CountCarry(const CountCarry &) = delete;
    CountCarry &operator=(const CountCarry &) = delete;

    // The text with each rule's carried counts on its first counted line
    // (line_rules: each line's rule number, as the text was written); the
    // text as it was where nothing is carried.
    // layout: the new set's layout in the family, whose expected lines the
    // proof takes where the set in force is this set laid out the same way.
    std::string with_counts(std::size_t family_index, const RuleSet &set, const std::string &text,
                            const std::vector<std::uint32_t> &line_rules, const Layout &layout);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace zvn
