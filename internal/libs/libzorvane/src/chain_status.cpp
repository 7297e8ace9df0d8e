// Whether the chain exists, how often INPUT sends packets into it, and how
// many rule lines it holds: a chain that INPUT does not reach filters
// nothing, however good its rules.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <sstream>
#include <string>
#include <vector>

#include "libzorvane.h"
#include "zorvane_internal.h"

namespace zvn {

namespace {

// Rules of "iptables -S INPUT" that jump or go to the chain.
int count_hooks(const std::string &input_rules)
{
    const std::string jump = std::string(" -j ") + chain_name;
    const std::string go = std::string(" -g ") + chain_name;
    int hooks = 0;
    std::istringstream in(input_rules);
    std::string line;
    while (std::getline(in, line)) {
        for (const std::string *target : {&jump, &go}) {
            const bool ends_with = line.size() >= target->size() &&
                                   line.compare(line.size() - target->size(), target->size(), *target) == 0;
            const bool inside = line.find(*target + " ") != std::string::npos;
            if (line.rfind("-A INPUT", 0) == 0 && (ends_with || inside)) {
                ++hooks;
                break;
            }
        }
    }
    return hooks;
}

std::vector<std::string> tokens_of(const std::string &line)
{
    std::vector<std::string> tokens;
    std::istringstream in(line);
    std::string token;
    while (in >> token)
        tokens.push_back(token);
    return tokens;
}

bool jumps_to_chain(const std::vector<std::string> &tokens)
{
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i)
        if ((tokens[i] == "-j" || tokens[i] == "-g") && tokens[i + 1] == chain_name)
            return true;
    return false;
}

// Whether a rule of INPUT can accept a NEW packet, or send it to another
// chain that may, before it reaches the hook. Rules for loopback alone
// (which the rule set's lines leave alone unless one names lo), rules that
// match only other connection states, and targets that drop, reject, log
// or mark and go on are no bypass.
bool can_bypass(const std::vector<std::string> &tokens, const std::string &policy)
{
    std::string target;
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
        if (tokens[i] == "-j" || tokens[i] == "-g")
            target = tokens[i + 1];
        if (tokens[i] == "-i" && tokens[i + 1] == "lo" && (i == 0 || tokens[i - 1] != "!"))
            return false;
        if ((tokens[i] == "--state" || tokens[i] == "--ctstate") && (i == 0 || tokens[i - 1] != "!")) {
            bool new_too = false;
            std::istringstream states(tokens[i + 1]);
            std::string state;
            while (std::getline(states, state, ','))
                new_too = new_too || state == "NEW" || state == "UNTRACKED";
            if (!new_too)
                return false;
        }
    }
    if (target.empty())
        return false;
    if (target == "RETURN")
        return policy == "ACCEPT";
    static const char *const going_on[] = {"DROP",  "REJECT", "LOG",  "NFLOG", "ULOG",     "MARK",  "CONNMARK",
                                           "CT",    "TRACE",  "AUDIT", "TOS",  "DSCP",     "TCPMSS", "CLASSIFY",
                                           "SET",   "CHECKSUM", "TEE"};
    for (const char *name : going_on)
        if (target == name)
            return false;
    return true;  // ACCEPT, NFQUEUE, or another chain
}

int count_rule_lines(const std::string &chain_rules)
{
    const std::string append = std::string("-A ") + chain_name + " ";
    int lines = 0;
    std::istringstream in(chain_rules);
    std::string line;
    while (std::getline(in, line))
        lines += line.rfind(append, 0) == 0 ? 1 : 0;
    return lines;
}

}  // namespace

}  // namespace zvn

extern "C" int zvn_get_chain_status_json(char *status_json, size_t size_n)
{
    using namespace zvn;
    clear_error();
    if (status_json == nullptr)
        return null_argument();
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    nlohmann::json status;
    for (const Family *family : active_families()) {
        std::string input_rules;
        const int input_status = capture({family->tool, "-S", "INPUT"}, input_rules);
        if (input_status != 0)
            return listing_failed(*family, "INPUT chain", input_status);
        std::string chain_rules;
        const bool chain = capture({family->tool, "-S", chain_name}, chain_rules, true) == 0;
        nlohmann::json one = {{"chain", chain},
                              {"hooks", count_hooks(input_rules)},
                              {"rule_lines", chain ? count_rule_lines(chain_rules) : 0}};
        if (family->bit == ipv4.bit)
            status = std::move(one);
        else
            status["ipv6"] = std::move(one);
    }
    return copy_out(status.dump(), status_json, size_n);
}

extern "C" int zvn_get_input_json(char *input_json, size_t size_n)
{
    using namespace zvn;
    clear_error();
    if (input_json == nullptr)
        return null_argument();
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    nlohmann::json result = nlohmann::json::object();
    for (const Family *family : active_families()) {
        std::string input_rules;
        const int status = capture({family->tool, "-S", "INPUT"}, input_rules);
        if (status != 0)
            return listing_failed(*family, "INPUT chain", status);
        std::string policy = "ACCEPT";
        std::vector<std::string> rules;
        std::istringstream in(input_rules);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("-P INPUT ", 0) == 0)
                policy = line.substr(9);
            else if (line.rfind("-A INPUT", 0) == 0)
                rules.push_back(line);
        }
        std::size_t hook = 0;
        nlohmann::json ahead = nlohmann::json::array();
        for (std::size_t i = 0; i < rules.size() && hook == 0; ++i) {
            const auto tokens = tokens_of(rules[i]);
            if (jumps_to_chain(tokens))
                hook = i + 1;
            else if (can_bypass(tokens, policy))
                ahead.push_back(rules[i]);
        }
        if (hook == 0)
            ahead = nlohmann::json::array();
        result[family->key] = {
            {"policy", policy}, {"rules", rules.size()}, {"hook_position", hook}, {"ahead", std::move(ahead)}};
    }
    return copy_out(result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), input_json, size_n);
}

extern "C" void zvn_setup_chain_hook(int where)
{
    using namespace zvn;
    clear_error();
    const ChainLock lock;
    if (!lock.locked())
        return;
    std::string ignored;
    if ((where & ZVN_HOOK_NO_PREPARE) == 0)
        capture({firewall_script, "prepare"}, ignored);
    where &= ~ZVN_HOOK_NO_PREPARE;
    const std::vector<std::string> hook = {"INPUT", "-m", "state", "--state", "NEW", "-j", chain_name};
    const auto with = [&](std::vector<std::string> head) {
        head.insert(head.end(), hook.begin(), hook.end());
        return head;
    };
    for (const Family *family : active_families()) {
        capture({family->tool, "-N", chain_name}, ignored, true);
        const bool hooked = capture(with({family->tool, "-C"}), ignored, true) == 0;
        if (where == ZVN_HOOK_KEEP && hooked)
            continue;
        if (where != ZVN_HOOK_KEEP)
            for (int removed = 0; removed < 64 && capture(with({family->tool, "-D"}), ignored, true) == 0; ++removed) {
            }
        if (where == ZVN_HOOK_FIRST) {
            std::vector<std::string> insert = {family->tool, "-I", "INPUT", "1"};
            insert.insert(insert.end(), hook.begin() + 1, hook.end());
            capture(insert, ignored, true);
        } else {
            capture(with({family->tool, "-A"}), ignored, true);
        }
    }
}

namespace zvn {

namespace {

// The watch of the packet filter's changes: on the nf_tables back end,
// xtables-monitor prints a line for every commit (line-buffered through
// stdbuf); the legacy back end has no such events, so it is polled.
struct Monitor {
    std::unique_ptr<Program> program;
    ~Monitor()
    {
        if (program)
            program->stop();
    }
} watch;
std::string monitor_output;

}  // namespace

}  // namespace zvn

extern "C" int zvn_watch_changes(void)
{
    using namespace zvn;
    clear_error();
    if (watch.program)
        return 1;
    std::string version;
    if (capture({iptables, "-V"}, version, true) != 0 || version.find("nf_tables") == std::string::npos ||
        access(xtables_monitor, X_OK) != 0 || access(stdbuf, X_OK) != 0)
        return 0;
    watch.program = std::make_unique<Program>(std::vector<std::string>{stdbuf, "-oL", xtables_monitor, "-e"}, 1,
                                        Program::Mode::piped);
    return 1;
}

extern "C" int zvn_changes_seen(void)
{
    using namespace zvn;
    clear_error();
    if (!watch.program)
        return -1;
    const std::size_t before = monitor_output.size();
    const bool open = watch.program->read_available(monitor_output);
    const bool seen = monitor_output.size() > before;
    if (monitor_output.size() > 65536)
        monitor_output.clear();
    if (!open) {
        // The monitor ended: watch again from the next call, and say
        // "changed" so that the caller looks.
        watch.program->stop();
        watch.program.reset();
        monitor_output.clear();
        set_error(ZVN_ERROR_LISTING, "the watch of the packet filter ended");
        return 1;
    }
    return seen ? 1 : 0;
}

extern "C" int zvn_get_chain_glance_json(char *glance_json, size_t size_n)
{
    using namespace zvn;
    clear_error();
    if (glance_json == nullptr)
        return null_argument();
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    nlohmann::json result = nlohmann::json::object();
    for (const Family *family : active_families()) {
        // One listing of the whole filter table: where its rules are many,
        // the cheapest way to see the hook and the chain at once.
        std::string saved;
        const int status = capture({family->save_tool, "-t", "filter"}, saved, true);
        if (status != 0)
            return listing_failed(*family, "filter table", status);
        // The chain's lines go into a digest (FNV-1a, 64 bits), so that a
        // glance stays small however many lines there are.
        bool chain = false;
        int hooks = 0, lines = 0;
        std::uint64_t digest = 0xcbf29ce484222325ULL;
        const std::string declaration = command(":", chain_name, " ");
        std::string_view rest = saved;
        while (!rest.empty()) {
            const std::size_t end = std::min(rest.find('\n'), rest.size());
            const std::string_view line = rest.substr(0, end);
            rest.remove_prefix(std::min(end + 1, rest.size()));
            if (line.substr(0, declaration.size()) == declaration) {
                chain = true;
            } else if (layout_chain(appended_chain(line))) {
                // The chain's lines and those of its sub-chains.
                ++lines;
                for (const char c : line) {
                    digest ^= static_cast<unsigned char>(c);
                    digest *= 0x100000001b3ULL;
                }
                digest = (digest ^ '\n') * 0x100000001b3ULL;
            } else if (line.substr(0, 9) == "-A INPUT " && jumps_to_chain(tokens_of(std::string(line)))) {
                ++hooks;
            }
        }
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(digest));
        result[family->key] = {
            {"chain", chain}, {"hooks", hooks}, {"lines", lines}, {"digest", hex}};
    }
    return copy_out(result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), glance_json, size_n);
}
