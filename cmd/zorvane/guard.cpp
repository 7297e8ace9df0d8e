// zorvane guard: notices when the chain is gone, emptied, unhooked or no
// longer what the last install put in force (another tool's flush or full
// restore, a person's slip), or when the host's frame around it broke (the
// preparation's lines gone, a second hook), and puts back exactly that,
// touching no other rule. What it guards is the library's record of the
// last install, by whichever client made it (this command, a front end,
// the boot's restore or its fall-back), never a file it would have to
// trust. It looks cheaply: on the nf_tables back end only when the packet
// filter changed (and once a minute all the same), on the legacy back end
// at every interval; a watch that overflows or ends counts as a change and
// is started again. "zorvane guard --pause" stops the repairs until
// "--resume".

#include <libzorvane.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "command.h"
#include "library.h"

namespace zorvane {

namespace {

volatile sig_atomic_t stopping = 0;

extern "C" void note_stop(int)
{
    stopping = 1;
}

void say(const std::string &words)
{
    std::cerr << "zorvane guard: " << words << std::endl;
}

void write_textfile(const std::string &directory, const nlohmann::json &families, long repairs)
{
    if (directory.empty())
        return;
    std::string text =
        "# HELP zorvane_chain_intact Whether the chain ZORVANE is hooked and holds what was last installed.\n"
        "# TYPE zorvane_chain_intact gauge\n";
    for (const auto &[name, one] : families.items()) {
        const bool whole = one.contains("whole_after") ? one["whole_after"].get<bool>() : one.value("whole", false);
        text += "zorvane_chain_intact{family=\"" + name + "\"} " + (whole ? "1" : "0") + "\n";
    }
    text += "# HELP zorvane_repairs_total Repairs of the chain by zorvane guard since it started.\n"
            "# TYPE zorvane_repairs_total counter\n"
            "zorvane_repairs_total " +
            std::to_string(repairs) + "\n";
    try {
        save_atomically(directory + "/zorvane.prom", text);
    } catch (const Failure &failure) {
        say(failure.what());
    }
}

std::string joined(const nlohmann::json &words)
{
    std::string text;
    for (const auto &word : words)
        text += (text.empty() ? "" : "; ") + word.get<std::string>();
    return text;
}

std::string family_name(const std::string &key)
{
    return key == "ipv4" ? "IPv4" : "IPv6";
}

// What one look found and did, told once where it is news.
class Teller {
public:
    void tell(const nlohmann::json &report, bool paused)
    {
        once(report.value("record_problem", std::string()), record_problem_);
        const nlohmann::json notes = part(report, "notes", nlohmann::json::array());
        for (const auto &note : notes)
            if (told_notes_.insert(note.get<std::string>()).second)
                say(note.get<std::string>());
        std::string found;
        const nlohmann::json families = part(report, "families", nlohmann::json::object());
        for (const auto &[name, one] : families.items())
            if (one.contains("found") && !one["found"].empty())
                found += (found.empty() ? "" : "; ") + family_name(name) + ": " + joined(one["found"]);
        if (report.value("repaired", false)) {
            std::string still;
            for (const auto &[name, one] : families.items())
                if (one.contains("still"))
                    still += (still.empty() ? "" : "; ") + family_name(name) + ": " + joined(one["still"]);
            say(found + "; " + joined(part(report, "did", nlohmann::json::array())) +
                (still.empty() ? "" : "; but it is still not whole: " + still));
            paused_words_.clear();
        } else if (paused && !found.empty()) {
            once("paused, so nothing is put back: " + found, paused_words_);
        }
    }

private:
    static nlohmann::json part(const nlohmann::json &report, const char *key, nlohmann::json otherwise)
    {
        return report.contains(key) ? report[key] : otherwise;
    }
    static void once(const std::string &words, std::string &last)
    {
        if (words != last && !words.empty())
            say(words);
        last = words;
    }
    std::string record_problem_, paused_words_;
    std::set<std::string> told_notes_;
};

}  // namespace

int run_guard(int interval, const std::string &textfile, bool pause, bool resume)
{
    if (pause || resume) {
        if (mkdir(run_dir, 0700) != 0 && errno != EEXIST)
            throw Failure(3, std::string("cannot make ") + run_dir + ": " + std::strerror(errno));
        if (pause) {
            save_atomically(guard_pause_file, "paused\n");
            std::cerr << "zorvane guard: paused; it repairs nothing until zorvane guard --resume\n";
        } else {
            unlink(guard_pause_file);
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
    say("every " + std::to_string(interval) + " s" +
        (events ? ", looking when the packet filter changed (and once a minute)" : ""));
    long repairs = 0;
    Teller teller;
    auto last_look = std::chrono::steady_clock::time_point{};
    bool first = true, whole = false, sets = false;
    while (stopping == 0) {
        if (!first)
            for (int tenth = 0; tenth < interval * 10 && stopping == 0; ++tenth)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        first = false;
        if (stopping != 0)
            break;
        settle_orphaned_change(say);
        // A watch that ended (a monitor whose socket overflowed) counts as
        // a change and starts again.
        const bool changed = !events || zvn_changes_seen() != 0;
        if (events)
            zvn_watch_changes();
        const auto now = std::chrono::steady_clock::now();
        // Address sets change without the tool telling: with sets in force
        // every interval is a look (their headers, cheap).
        if (!changed && whole && !sets && now - last_look < std::chrono::seconds(60))
            continue;
        last_look = now;
        const bool paused = guard_paused();
        int status = 0;
        const auto report = filled([&](char *out, std::size_t n) {
            return status = zvn_guard_look(paused ? 0 : ZVN_LOOK_REPAIR, out, n);
        });
        if (!report) {
            say(std::string("cannot look at the packet filter: ") + zvn_last_error());
            whole = false;
            continue;
        }
        const auto looked = nlohmann::json::parse(*report, nullptr, false);
        teller.tell(looked, paused);
        whole = status == 0;
        sets = looked.value("address_sets", false);
        if (looked.value("repaired", false))
            ++repairs;
        if (looked.value("guarding", false))
            write_textfile(textfile, looked["families"], repairs);
    }
    return 0;
}

}  // namespace zorvane
