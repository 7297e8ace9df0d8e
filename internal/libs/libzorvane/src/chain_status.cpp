// Whether the chain exists, how often INPUT sends packets into it, and how
// many rule lines it holds: a chain that INPUT does not reach filters
// nothing, however good its rules.

#include <cstring>
#include <sstream>
#include <string>

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
    if (status_json == nullptr) {
        set_error(ZVN_ERROR_ARGUMENT, "a pointer argument is null");
        return -1;
    }
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    nlohmann::json status;
    for (const Family *family : active_families()) {
        std::string input_rules;
        const int input_status = capture({family->tool, "-S", "INPUT"}, input_rules);
        if (input_status != 0) {
            set_error(ZVN_ERROR_LISTING, std::string("the ") + family->name + " INPUT chain could not be listed (status " +
                                             std::to_string(input_status) + ")");
            return input_status;
        }
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
    const std::string text = status.dump();
    if (text.size() + 1 > size_n) {
        log_record("size_n is too small");
        set_error(ZVN_ERROR_BUFFER, "the buffer is too small (" + std::to_string(text.size() + 1) + " bytes needed)");
        return -1;
    }
    std::memcpy(status_json, text.c_str(), text.size() + 1);
    return 0;
}
