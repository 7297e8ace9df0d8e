// The host's frame around the chain, kept when setup makes it and checked
// (and put back) by whoever guards the chain.

#include "frame.h"

#include <algorithm>
#include <string>

#include <nlohmann/json.hpp>

#include "families.h"
#include "installed.h"
#include "libzorvane.h"
#include "names.h"

namespace zvn {

namespace {

std::string frame_path()
{
    return std::string(places().records) + "/frame";
}

}  // namespace

const FrameFamily *Frame::of(const Family &family) const
{
    const auto found = families.find(family.key);
    return found == families.end() ? nullptr : &found->second;
}

Frame read_frame()
{
    Frame frame;
    std::string text;
    switch (read_own_file(frame_path(), text, frame.problem)) {
    case OwnFile::none:
    case OwnFile::unchanged:
        return frame;
    case OwnFile::broken:
        return frame;
    case OwnFile::read:
        break;
    }
    const auto json = nlohmann::json::parse(text, nullptr, false);
    try {
        const int where = json.at("where").get<int>();
        if (where != ZVN_HOOK_KEEP && where != ZVN_HOOK_LAST && where != ZVN_HOOK_FIRST)
            throw std::out_of_range("where");
        frame.where = where;
        for (const auto &[key, one] : json.at("families").items()) {
            if (key != ipv4.key && key != ipv6.key)
                continue;
            FrameFamily family;
            family.prepared = one.at("prepared").get<std::vector<std::string>>();
            family.after_hook = one.at("after_hook").get<std::string>();
            family.placed = one.at("placed").get<bool>();
            frame.families[key] = std::move(family);
        }
    } catch (const std::exception &) {
        frame = Frame{};
        frame.problem = frame_path() + " is not a sound record of the frame";
    }
    return frame;
}

bool write_frame(const Frame &frame)
{
    nlohmann::json families = nlohmann::json::object();
    for (const auto &[key, one] : frame.families)
        families[key] = {{"prepared", one.prepared}, {"after_hook", one.after_hook}, {"placed", one.placed}};
    const nlohmann::json json = {{"where", frame.where}, {"families", std::move(families)}};
    return write_own_file(frame_path(), json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

std::vector<std::string> FrameState::faults() const
{
    std::vector<std::string> faults;
    if (hooks.empty())
        faults.push_back("INPUT does not reach the chain");
    else if (hooks.size() > 1)
        faults.push_back(std::to_string(hooks.size()) + " lines of INPUT reach the chain, where setup made one");
    for (const std::string &line : missing_prepared)
        faults.push_back("the preparation's line \"" + line + "\" is gone");
    if (!established)
        faults.push_back("replies of established connections cannot pass INPUT");
    if (!loopback)
        faults.push_back("loopback traffic cannot pass INPUT");
    return faults;
}

FrameState frame_state(const InputView &view, const FrameFamily *recorded)
{
    FrameState state;
    for (std::size_t i = 0; i < view.lines.size(); ++i) {
        const InputView::Line &line = view.lines[i];
        if (line.hook) {
            state.hooks.push_back(i + 1);
            if (state.hooks.size() == 1)
                state.after_hook = i + 1 < view.lines.size() ? view.lines[i + 1].text : "";
        } else if (state.hooks.empty() && line.can_accept_new) {
            state.ahead.push_back(line.text);
        }
    }
    if (recorded != nullptr)
        for (const std::string &line : recorded->prepared)
            if (std::none_of(view.lines.begin(), view.lines.end(),
                             [&](const InputView::Line &now) { return now.text == line; }))
                state.missing_prepared.push_back(line);
    state.established = view.established_pass;
    state.loopback = view.loopback_pass;
    state.containers = view.container_chains;
    return state;
}

void setup_and_keep_frame(int where)
{
    PacketFilter &filter = packet_filter();
    const bool prepare = (where & ZVN_HOOK_NO_PREPARE) == 0;
    const auto families = active_families();
    std::vector<InputChain> before(families.size());
    if (prepare)
        for (std::size_t f = 0; f < families.size(); ++f)
            filter.read_input(*families[f], before[f]);
    filter.setup_hook(where);
    Frame frame = read_frame();
    const int place = where & ~ZVN_HOOK_NO_PREPARE;
    if (place != ZVN_HOOK_KEEP || frame.families.empty())
        frame.where = place;
    for (std::size_t f = 0; f < families.size(); ++f) {
        InputChain after;
        if (filter.read_input(*families[f], after) != 0)
            continue;
        FrameFamily &kept = frame.families[families[f]->key];
        // The lines this run of the preparation made; a run that made none
        // (they were there) keeps those known before.
        std::vector<std::string> made;
        for (const InputRule &rule : after.rules) {
            const auto was = std::find_if(before[f].rules.begin(), before[f].rules.end(),
                                          [&](const InputRule &old) { return old.text == rule.text; });
            if (prepare && was == before[f].rules.end() && !rule.hook)
                made.push_back(rule.text);
        }
        if (!made.empty())
            kept.prepared = std::move(made);
        for (std::size_t i = 0; i < after.rules.size(); ++i)
            if (after.rules[i].hook) {
                kept.after_hook = i + 1 < after.rules.size() ? after.rules[i + 1].text : "";
                kept.placed = true;
                break;
            }
    }
    write_frame(frame);
}

std::vector<std::string> repair_hooks(const Family &family, const FrameState &state, const InputView &view,
                                      const Frame &frame)
{
    PacketFilter &filter = packet_filter();
    std::vector<std::string> done;
    if (state.hooks.empty()) {
        // Where it stood: before the line that followed it when last whole;
        // else at the top if setup put it there; else at the end.
        std::size_t position = 0;
        const FrameFamily *recorded = frame.of(family);
        if (recorded != nullptr && recorded->placed && !recorded->after_hook.empty())
            for (std::size_t i = 0; i < view.lines.size(); ++i)
                if (view.lines[i].text == recorded->after_hook) {
                    position = i + 1;
                    break;
                }
        if (position == 0 && frame.where == ZVN_HOOK_FIRST)
            position = 1;
        if (filter.insert_hook(family, position) == 0)
            done.push_back(position == 0 ? "the hook added at the end of INPUT"
                                         : "the hook put back at line " + std::to_string(position) + " of INPUT");
        else
            done.push_back("the hook could not be put back");
    } else if (state.hooks.size() > 1) {
        // The first stays; the others go, the last first so that the
        // positions before them hold.
        for (std::size_t h = state.hooks.size(); h-- > 1;)
            if (filter.delete_input_line(family, state.hooks[h]) == 0)
                done.push_back("a second hook taken away (line " + std::to_string(state.hooks[h]) + " of INPUT)");
    }
    return done;
}

}  // namespace zvn
