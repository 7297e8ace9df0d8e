// The host's frame around the chain: what setup made beside it (the
// preparation's lines in INPUT and the hook at the place chosen), kept in
// the records directory, and how a family's INPUT stands against it: the
// hook there once, the preparation's lines there, and the traffic that
// must pass (replies of established connections, loopback) passing.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "packet_filter.h"

namespace zvn {

struct Family;

struct FrameFamily {
    std::vector<std::string> prepared;  // the lines the preparation made in INPUT
    std::string after_hook;             // the line that followed the hook when last whole ("" for none)
    bool placed = false;                // after_hook was seen
};
struct Frame {
    int where = 0;  // the ZVN_HOOK_ place setup chose
    std::map<std::string, FrameFamily> families;  // by family key
    std::string problem;  // a record that could not be read
    const FrameFamily *of(const Family &family) const;
};
Frame read_frame();
bool write_frame(const Frame &frame);

// A family's INPUT against the frame.
struct FrameState {
    std::vector<std::size_t> hooks;  // the positions (from 1) of the lines that reach ZORVANE
    std::vector<std::string> missing_prepared;
    bool established = true, loopback = true;
    std::vector<std::string> ahead;       // lines ahead of the hook that can accept a NEW packet
    std::vector<std::string> containers;  // a container engine's chains
    std::string after_hook;               // the line after the first hook
    // What is wrong, in words ("INPUT does not reach it", ...); none: whole.
    std::vector<std::string> faults() const;
    bool needs_preparation() const { return !missing_prepared.empty() || !established || !loopback; }
};
FrameState frame_state(const InputView &view, const FrameFamily *recorded);

// Sets up the chain and its hook where asked (zvn_setup_chain_hook) and
// keeps the frame: the lines the preparation made, and the place.
void setup_and_keep_frame(int where);

// Puts a family's frame back as far as it is broken: the preparation run
// again (once for all families, by the caller's flag), the hook added at
// its place, second hooks taken away. The words of what it did.
std::vector<std::string> repair_hooks(const Family &family, const FrameState &state, const InputView &view,
                                      const Frame &frame);

}  // namespace zvn
