// zorvane guard: notices when the chain is gone, emptied, unhooked or no
// longer the set the command last applied (another tool's flush or full
// restore, a person's slip) and puts back exactly that set and the hook,
// touching no other rule. It looks cheaply: on the nf_tables back end only
// when the packet filter changed (and once a minute all the same), on the
// legacy back end, whose listings are cheap, at every interval. An apply or
// a restore by the command is no breakage: they change the set last
// applied, under the same lock. "zorvane guard --pause" stops the repairs
// until "--resume".

#include <libzorvane.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command.h"

namespace zorvane {

namespace {

constexpr const char *pause_file = "/run/zorvane/guard.paused";

volatile sig_atomic_t stopping = 0;

extern "C" void note_stop(int)
{
    stopping = 1;
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return in ? content.str() : std::string();
}

bool exists(const char *path)
{
    return access(path, F_OK) == 0;
}

// What the guard last found whole: the set it compared with and the chain
// text the kernel held then. A chain text that is still the same needs no
// verification.
struct Known {
    std::string reference_path, reference, glance;
};

// The hook and the chain's lines of each family, in one listing each.
std::string glance_now()
{
    // Kept at the size the last glance needed: a buffer too small would
    // mean a second listing.
    static std::vector<char> buffer(std::size_t{1} << 20);
    int status;
    while ((status = zvn_get_chain_glance_json(buffer.data(), buffer.size())) == -1 &&
           zvn_last_error_code() == ZVN_ERROR_BUFFER)
        buffer.resize(buffer.size() * 4);
    if (status != 0)
        throw Failure(3, std::string("cannot look at the packet filter: ") + zvn_last_error());
    return buffer.data();
}

// Every family's chain there and hooked.
bool glance_whole(const std::string &glance)
{
    const nlohmann::json families = nlohmann::json::parse(glance);
    for (const auto &[name, one] : families.items())
        if (!one.value("chain", false) || one.value("hooks", 0) == 0)
            return false;
    return true;
}

struct FamilyState {
    std::string name;  // "ipv4", "ipv6"
    bool intact = true;
    std::string what;  // what is broken
};

void write_textfile(const std::string &directory, const std::vector<FamilyState> &families, long repairs)
{
    if (directory.empty())
        return;
    std::string text =
        "# HELP zorvane_chain_intact Whether the chain ZORVANE is hooked and holds the rule set last applied.\n"
        "# TYPE zorvane_chain_intact gauge\n";
    for (const auto &family : families)
        text += "zorvane_chain_intact{family=\"" + family.name + "\"} " + (family.intact ? "1" : "0") + "\n";
    text += "# HELP zorvane_repairs_total Repairs of the chain by zorvane guard since it started.\n"
            "# TYPE zorvane_repairs_total counter\n"
            "zorvane_repairs_total " +
            std::to_string(repairs) + "\n";
    try {
        save_atomically(directory + "/zorvane.prom", text);
    } catch (const Failure &failure) {
        std::cerr << "zorvane guard: " << failure.what() << std::endl;
    }
}

// The families and what is wrong with each, from the verification of the
// set and the listing of INPUT.
std::vector<FamilyState> judge(const nlohmann::json &verified, const nlohmann::json &input)
{
    std::vector<FamilyState> families;
    for (const auto &[name, one] : verified.items()) {
        FamilyState state{name, true, ""};
        const bool hooked = input.contains(name) && input[name].value("hook_position", 0) > 0;
        if (!one.value("chain", false))
            state.what = "the chain is missing";
        else if (!one.value("holds", false))
            state.what = std::to_string(one.value("lines", 0)) + " of " + std::to_string(one.value("expected_lines", 0)) +
                         " lines hold the set (" + one.value("differs", std::string("?")) + ")";
        if (!hooked)
            state.what += std::string(state.what.empty() ? "" : "; ") + "INPUT does not reach it";
        state.intact = state.what.empty();
        families.push_back(state);
    }
    return families;
}

nlohmann::json verify(const std::string &rules)
{
    std::vector<char> buffer(std::size_t{1} << 16);
    if (zvn_verify_chain_json(rules.c_str(), buffer.data(), buffer.size()) != 0)
        throw Failure(3, std::string("cannot verify the chain: ") + zvn_last_error());
    return nlohmann::json::parse(buffer.data());
}

// Puts back exactly the set and the hook: the set's restore text, in the
// layout and with the log limit it was applied with, installed as a chain
// text (one commit per family; the drop log is left alone), then the hook
// where one is missing, without the preparation script.
void repair(const std::string &rules, const std::string &path)
{
    use_options(read_options(path == applied_record ? applied_options : saved_options));
    const int length = zvn_restore_text_json(rules.c_str(), nullptr, 0);
    if (length < 0)
        throw Failure(3, std::string("the set to put back is refused: ") + zvn_last_error());
    std::vector<char> text(static_cast<std::size_t>(length) + 1);
    zvn_restore_text_json(rules.c_str(), text.data(), text.size());
    if (zvn_install_chain_text(text.data()) != 0)
        throw Failure(3, std::string("putting the set back failed: ") + zvn_last_error());
    zvn_setup_chain_hook(ZVN_HOOK_KEEP | ZVN_HOOK_NO_PREPARE);
}

nlohmann::json input_status_now()
{
    std::vector<char> buffer(std::size_t{1} << 16);
    if (zvn_get_input_json(buffer.data(), buffer.size()) != 0)
        return nlohmann::json::object();
    return nlohmann::json::parse(buffer.data());
}

}  // namespace

int run_guard(int interval, const std::string &textfile, bool pause, bool resume)
{
    if (pause || resume) {
        if (mkdir(run_dir, 0700) != 0 && errno != EEXIST)
            throw Failure(3, std::string("cannot make ") + run_dir + ": " + std::strerror(errno));
        if (pause) {
            save_atomically(pause_file, "paused\n");
            std::cerr << "zorvane guard: paused; it repairs nothing until zorvane guard --resume\n";
        } else {
            unlink(pause_file);
            std::cerr << "zorvane guard: resumed\n";
        }
        return 0;
    }
    struct sigaction action {};
    action.sa_handler = note_stop;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : {SIGTERM, SIGINT})
        sigaction(signal_number, &action, nullptr);
    const bool events = zvn_watch_changes() == 1;
    std::cerr << "zorvane guard: every " << interval << " s"
              << (events ? ", looking when the packet filter changed (and once a minute)" : "") << std::endl;
    Known known;
    long repairs = 0;
    auto last_look = std::chrono::steady_clock::time_point{};
    bool first = true;
    while (stopping == 0) {
        if (!first)
            for (int tenth = 0; tenth < interval * 10 && stopping == 0; ++tenth)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        first = false;
        if (stopping != 0)
            break;
        if (events)
            zvn_watch_changes();  // again, should the watch have ended
        const bool changed = !events || zvn_changes_seen() != 0;
        const auto now = std::chrono::steady_clock::now();
        if (!changed && !known.glance.empty() && now - last_look < std::chrono::seconds(60))
            continue;
        last_look = now;
        try {
            if (zvn_lock_chain() != 0)
                continue;
            struct Unlock {
                ~Unlock() { zvn_unlock_chain(); }
            } unlock;
            if (exists(pause_file)) {
                known = {};  // look again at every interval until resumed
                continue;
            }
            std::string path;
            for (const char *candidate : {applied_record, saved_rules})
                if (exists(candidate)) {
                    path = candidate;
                    break;
                }
            if (path.empty())
                continue;  // nothing applied or saved: nothing to guard
            const std::string rules = read_text(path);
            const std::string glance = glance_now();
            // The same hook and lines as when last found whole: nothing to do.
            if (path == known.reference_path && rules == known.reference && glance == known.glance &&
                glance_whole(glance))
                continue;
            auto families = judge(verify(rules), input_status_now());
            std::string broken;
            for (const auto &family : families)
                if (!family.intact)
                    broken += (broken.empty() ? "" : "; ") + std::string(family.name == "ipv4" ? "IPv4" : "IPv6") +
                              ": " + family.what;
            if (!broken.empty()) {
                repair(rules, path);
                ++repairs;
                families = judge(verify(rules), input_status_now());
                bool whole = true;
                for (const auto &family : families)
                    whole = whole && family.intact;
                std::cerr << "zorvane guard: " << broken << "; put back the set of " << path << " and its hook"
                          << (whole ? "" : ", but it is still not whole") << std::endl;
            }
            known = {path, rules, glance_now()};
            write_textfile(textfile, families, repairs);
        } catch (const Failure &failure) {
            std::cerr << "zorvane guard: " << failure.what() << std::endl;
            known = {};
        }
    }
    return 0;
}

}  // namespace zorvane
