// zorvane: the operator's command. It links libzorvane like any client and
// adds what a person at a shell needs around it: rule sets from files or
// standard input of any size, read once; findings that name the rule; a dry
// run; counts of one's own rule set; and messages made of the library's
// records, without the debug log.
//
// Exit statuses: 0 success; 1 the rule set was refused (nothing changed);
// 2 usage error or unreadable FILE; 3 the system failed (a tool could not
// run, the install failed, the chain is missing, not hooked, or does not
// hold the rule set).

#include <libzorvane.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "command.h"
#include "library.h"

namespace {

using zorvane::Failure;
using zorvane::Rules;

// ---------------------------------------------------------------------------
// What every command shares
// ---------------------------------------------------------------------------

struct Options {
    bool verbose = false;
    bool ipv4_only = false;
    bool both_families = false;  // IPv6 is on
};
Options options;

// The library's log records, and the tools' words that the library keeps:
// passed on to standard error as they come when -v is given, else dropped.
class TeeBuffer : public std::stringbuf {
protected:
    int sync() override
    {
        if (options.verbose) {
            std::cerr << str();
            std::cerr.flush();
        }
        // Nothing is kept: the command's messages come from the error
        // channel, and a long-running guard must not grow.
        str("");
        return 0;
    }
};
TeeBuffer log_buffer;
std::ostream log_stream(&log_buffer);

std::string read_rules(const std::string &path)
{
    std::string text;
    int fd = 0;
    if (path != "-") {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0)
            throw Failure(2, "cannot read " + path + ": " + std::strerror(errno));
        struct stat seen {};
        if (fstat(fd, &seen) != 0 || S_ISDIR(seen.st_mode)) {
            close(fd);
            throw Failure(2, "cannot read " + path + ": not a file");
        }
    }
    // Read as bytes, whatever they hold: a NUL is found by the check, not
    // taken for the end of the text.
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            if (fd != 0)
                close(fd);
            throw Failure(2, "cannot read " + (path == "-" ? std::string("standard input") : path) + ": " +
                                 std::strerror(error));
        }
        if (got == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    if (fd != 0)
        close(fd);
    return text;
}

// Holds the library's lock for the whole command, so that its own steps
// (look at the chain, then apply) cannot interleave with another's.
class CommandLock {
public:
    CommandLock()
    {
        if (zvn_lock_chain() != 0)
            throw Failure(3, "another zorvane operation held the lock /run/zorvane.lock for over 30 s");
    }
    ~CommandLock() { zvn_unlock_chain(); }
    CommandLock(const CommandLock &) = delete;
    CommandLock &operator=(const CommandLock &) = delete;
};

// ---------------------------------------------------------------------------
// Findings and the test run
// ---------------------------------------------------------------------------

struct Checked {
    nlohmann::json findings;
    int errors = 0;
    int warnings = 0;
    std::optional<Rules> rules;  // the set read once, where validation took it
};

// A NUL ends the text for every reader of C strings, the library among
// them: the rules after it would be lost unseen. Such a text is refused
// whatever the options.
void refuse_nul(const std::string &text)
{
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos)
        throw Failure(1, "the rule set holds a NUL byte at offset " + std::to_string(nul) +
                             ": everything after it would be lost; nothing was changed");
}

Checked check_rules(const std::string &text)
{
    Checked checked;
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        checked.findings = nlohmann::json::array({{{"rule", 0},
                                                   {"key", nullptr},
                                                   {"severity", "error"},
                                                   {"code", "nul-byte"},
                                                   {"message", "the text holds a NUL byte at offset " +
                                                                   std::to_string(nul) +
                                                                   ": a reader of C strings stops there, and the "
                                                                   "rules after it would be lost"}}});
        checked.errors = 1;
        return checked;
    }
    checked.rules = Rules::parse(text);
    if (!checked.rules) {
        if (zvn_last_error_code() == ZVN_ERROR_NOT_JSON)
            throw Failure(1, zvn_last_error());
        // The refused set's one finding, as the check words it.
        const auto findings =
            zorvane::filled([&](char *out, std::size_t n) { return zvn_check_rules_json(text.c_str(), out, n); });
        if (!findings)
            zorvane::fail_with_library("the rule set cannot be checked");
        checked.findings = nlohmann::json::parse(*findings);
        checked.errors = 1;
        return checked;
    }
    int errors = 0;
    const auto findings = zorvane::filled([&](char *out, std::size_t n) {
        return errors = zvn_rules_check_json(checked.rules->get(), out, n);
    });
    if (!findings)
        zorvane::fail_with_library("the rule set cannot be checked");
    checked.findings = nlohmann::json::parse(*findings);
    checked.errors = errors;
    checked.warnings = static_cast<int>(checked.findings.size()) - errors;
    return checked;
}

void print_findings(const Checked &checked, std::ostream &out)
{
    for (const auto &finding : checked.findings)
        out << zorvane::finding_line(finding) << "\n";
    out << checked.errors << (checked.errors == 1 ? " error, " : " errors, ") << checked.warnings
        << (checked.warnings == 1 ? " warning" : " warnings") << "\n";
}

// A refusal of the test run names the rule that the tool's line falls in
// and gives the tool's own words (exit 1); a tool that could not run at all
// is the system's failure (exit 3).
[[noreturn]] void fail_run(const Rules &rules, const std::string &what, int status)
{
    if (zvn_last_error_code() == ZVN_ERROR_TEST_REFUSED)
        throw Failure(1, zorvane::refusal_words(rules));
    const std::string words = zvn_last_error_tool_words();
    throw Failure(3, what + " (status " + std::to_string(status) + ")" + (words.empty() ? "" : ": " + words));
}

void test_run(const Rules &rules)
{
    const int status = zvn_rules_test(rules.get());
    if (status != 0)
        fail_run(rules, "the test run of the rule set could not be done", status);
}

// ---------------------------------------------------------------------------
// The chain's state
// ---------------------------------------------------------------------------

nlohmann::json chain_status()
{
    return zorvane::json_of([](char *out, std::size_t n) { return zvn_get_chain_status_json(out, n); },
                            "cannot read the packet filter");
}

nlohmann::json input_status()
{
    return zorvane::json_of([](char *out, std::size_t n) { return zvn_get_input_json(out, n); }, "cannot read INPUT");
}

nlohmann::json host()
{
    return zorvane::json_of([](char *out, std::size_t n) { return zvn_host_json(out, n); }, "cannot look at the host");
}

void require_hooked_chain(const nlohmann::json &status)
{
    for (const auto *one : {&status, status.contains("ipv6") ? &status["ipv6"] : nullptr}) {
        if (one == nullptr)
            continue;
        const std::string which = one == &status ? "" : " (IPv6)";
        if (!(*one)["chain"].get<bool>())
            throw Failure(3, "the chain ZORVANE" + which + " does not exist: run zorvane setup first");
        if ((*one)["hooks"].get<int>() == 0)
            throw Failure(3, "the chain ZORVANE" + which +
                                 " is not reached from INPUT, so its rules would filter nothing: run zorvane setup "
                                 "first");
    }
}

void require_hooked_chain()
{
    require_hooked_chain(chain_status());
}

// ---------------------------------------------------------------------------
// The commands
// ---------------------------------------------------------------------------

struct CheckArgs {
    std::string file;  // "": the saved set, or the fail-safe allows
    bool json = false;
    bool show = false;
    bool failsafe = false;
    bool no_test = false;
    zorvane::ApplyOptions options;
};

// Extra allows of the fail-safe set (the management port, say): a rule set
// of allowing rules. One that cannot be used leaves the fail-safe set
// without extras, and the reason is told.
constexpr const char *failsafe_allows = "/etc/zorvane/failsafe.json";

// The fail-safe set's allows, checked as the boot would take them: the
// findings of any rule set, and a rule that drops is an error of its own.
void check_failsafe_allows(Checked &checked)
{
    if (!checked.rules)
        return;
    for (std::size_t r = 1; r <= checked.rules->size(); ++r)
        if (!checked.rules->allows(r)) {
            checked.findings.push_back({{"rule", r},
                                        {"key", "allow"},
                                        {"severity", "error"},
                                        {"code", "failsafe-drop"},
                                        {"message", "the fail-safe set takes only rules that allow; this one drops"}});
            ++checked.errors;
        }
}

// The packet filter is root's: without root every tool fails with words of
// its own ("Could not fetch rule set generation id"), so say it first.
void require_root(const std::string &what, const std::string &instead = "")
{
    if (geteuid() == 0)
        return;
    throw Failure(3, what + " needs root (the packet filter is root's): run it with sudo" +
                         (instead.empty() ? "" : "; " + instead));
}

int run_check(const CheckArgs &args)
{
    zorvane::use_options(args.options);
    const std::string file = !args.file.empty() ? args.file : args.failsafe ? failsafe_allows : zorvane::saved_rules;
    const std::string text = read_rules(file);
    Checked checked = check_rules(text);
    if (args.failsafe)
        check_failsafe_allows(checked);
    if (args.json)
        std::cout << checked.findings.dump() << "\n";
    else
        print_findings(checked, std::cerr);
    if (checked.errors > 0)
        return 1;
    const Rules &rules = *checked.rules;
    if (args.failsafe) {
        const int length = zvn_failsafe_text_json(text.c_str(), nullptr, 0);
        if (length < 0)
            zorvane::fail_with_library("the fail-safe set cannot be made of " + file);
        std::vector<char> failsafe(static_cast<std::size_t>(length) + 1);
        zvn_failsafe_text_json(text.c_str(), failsafe.data(), failsafe.size());
        if (args.show)
            std::cout << failsafe.data();
        test_run(rules);
        std::cerr << "the fail-safe set keeps loopback, established traffic and " << rules.size()
                  << (rules.size() == 1 ? " allow" : " allows") << " of " << file << " open";
        for (std::size_t r = 1; r <= rules.size(); ++r)
            std::cerr << (r == 1 ? ": " : "; ") << rules.description(r);
        std::cerr << "; the test run accepts them; nothing was installed\n";
        return 0;
    }
    if (args.show) {
        const int length = zvn_rules_restore_text(rules.get(), nullptr, 0);
        std::vector<char> restore(static_cast<std::size_t>(length) + 1);
        zvn_rules_restore_text(rules.get(), restore.data(), restore.size());
        std::cout << restore.data();
    }
    if (args.no_test) {
        std::cerr << "the findings allow the rule set (" << rules.size()
                  << " rules); the test run was left out (--no-test)\n";
        return 0;
    }
    require_root("check (its test run)", "zorvane check --no-test gives the findings alone");
    test_run(rules);
    std::cerr << "the test run accepts the rule set (" << rules.size() << " rules); nothing was installed\n";
    return 0;
}

struct ApplyArgs {
    std::string file;
    std::optional<std::string> text;  // the set itself, made by the command (rule add, rule delete)
    bool force = false;
    bool save = false;
    int confirm_seconds = 0;
    bool diff = false;
    bool reset_counts = false;
    zorvane::ApplyOptions options;
};

// Checks a rule set; error findings refuse it unless forced (a NUL byte
// always refuses). The findings come back, with the set read once.
Checked refuse_or_accept(const std::string &text, bool force)
{
    Checked checked = check_rules(text);
    if (checked.errors > 0 || checked.warnings > 0)
        print_findings(checked, std::cerr);
    refuse_nul(text);
    if (checked.errors > 0 && !force)
        throw Failure(1, "the rule set was refused for its errors (--force applies it all the same); nothing "
                         "was changed");
    if (!checked.rules)
        throw Failure(1, "the rule set is not valid: it cannot be applied, even with --force; nothing was changed");
    return checked;
}

// Tests and installs the set in one call: a refusal changes nothing.
void install(const Rules &rules)
{
    const int status = zvn_rules_apply(rules.get());
    if (status == 0)
        return;
    if (zvn_last_error_code() == ZVN_ERROR_TEST_REFUSED)
        throw Failure(1, zorvane::refusal_words(rules));
    const std::string words = zvn_last_error_tool_words();
    throw Failure(3, "installing the rule set failed (status " + std::to_string(status) +
                         "); the chain keeps its previous rules" + (words.empty() ? "" : ": " + words));
}

// The saved set is written and synced beside its place before anything
// changes: a save that cannot be written refuses the whole apply.
std::string stage_save(const std::string &text)
{
    try {
        return zorvane::stage_file(zorvane::saved_rules, text);
    } catch (const Failure &failure) {
        throw Failure(3, std::string(failure.what()) + "; nothing was changed");
    }
}

int run_apply(const ApplyArgs &args)
{
    zorvane::use_options(args.options);
    zorvane::refuse_if_pending();
    // Each rule keeps its counts over the apply, unless asked otherwise.
    zvn_set_keep_counts(args.reset_counts ? 0 : 1);
    const std::string text = args.text ? *args.text : read_rules(args.file);
    const Checked checked = refuse_or_accept(text, args.force);
    const Rules &rules = *checked.rules;
    const bool forced = checked.errors > 0;
    const bool confirming = args.confirm_seconds > 0;
    // What the change will do, before it is made (and before a confirm's
    // prompt).
    if (args.diff) {
        if (const auto in_force = zorvane::rules_in_force())
            zorvane::diff_texts(*in_force, "the set in force", text, args.file, false, std::cerr);
        else
            std::cerr << "no rule set is known to be in force: every rule of " << args.file << " is new\n";
    }
    std::string staged;
    if (confirming)
        zorvane::start_watcher();
    try {
        const CommandLock lock;
        require_hooked_chain();
        // A change to be confirmed is tested before anything is kept for
        // its roll-back: a refused set never arms a watcher.
        if (confirming)
            test_run(rules);
        if (args.save)
            staged = stage_save(text);
        if (confirming)
            zorvane::arm_confirmation(args.confirm_seconds, args.file, staged, forced, args.options);
        zvn_label_installs(zorvane::label_apply);
        zorvane::record_applying(text);
        install(rules);
        zorvane::forget_applying();
    } catch (...) {
        zorvane::forget_applying();
        if (confirming)
            zorvane::disarm_confirmation();
        else if (!staged.empty())
            unlink(staged.c_str());
        throw;
    }
    if (args.save && !confirming) {
        const CommandLock lock;
        zorvane::commit_staged(staged, zorvane::saved_rules);
        try {
            zorvane::save_atomically(zorvane::saved_options, zorvane::options_text(args.options));
            zorvane::mark_forced(text, forced);
            zorvane::keep_last_good();
        } catch (const Failure &failure) {
            throw Failure(3, std::string("the rule set is applied and saved, but ") + failure.what() +
                                 ": a boot that cannot restore it falls back to an older set");
        }
    }
    std::cerr << "applied " << rules.size() << " rules to the chain ZORVANE\n";
    if (confirming) {
        const auto answer = zorvane::wait_for_confirmation(args.confirm_seconds);
        const zorvane::Outcome outcome = zorvane::last_outcome();
        if (answer != zorvane::Answer::confirmed) {
            const char *why = answer == zorvane::Answer::timed_out ? "no confirmation in time"
                              : answer == zorvane::Answer::hung_up ? "the session hung up"
                                                                   : "the wait was ended by a signal";
            std::cerr << "zorvane: " << why << ": "
                      << (outcome.words.empty() ? "the change is being rolled back" : outcome.words) << std::endl;
            return 1;
        }
        std::cerr << outcome.words << std::endl;
        return outcome.save_failed ? 3 : 0;
    }
    if (args.save)
        std::cerr << "saved as " << zorvane::saved_rules << "\n";
    return 0;
}

std::string failsafe_text(std::vector<std::string> &problems)
{
    std::string allows;
    if (access(failsafe_allows, F_OK) == 0) {
        try {
            allows = read_rules(failsafe_allows);
            refuse_nul(allows);
        } catch (const Failure &failure) {
            problems.push_back(std::string(failsafe_allows) + " is not used: " + failure.what());
            allows.clear();
        }
    }
    int length = zvn_failsafe_text_json(allows.empty() ? nullptr : allows.c_str(), nullptr, 0);
    if (length < 0 && !allows.empty()) {
        problems.push_back(std::string(failsafe_allows) +
                           " is not used: it must be a valid rule set whose rules all allow");
        allows.clear();
        length = zvn_failsafe_text_json(nullptr, nullptr, 0);
    }
    std::vector<char> text(static_cast<std::size_t>(length) + 1);
    zvn_failsafe_text_json(allows.empty() ? nullptr : allows.c_str(), text.data(), text.size());
    return text.data();
}

// Prepares the host and hooks the chain where setup last chose
// (--hook first|last, kept across boots), else at the end of INPUT.
void set_up_hook()
{
    const std::string place = zorvane::saved_hook_place();
    zvn_setup_chain_hook(place == "first" ? ZVN_HOOK_FIRST : place == "last" ? ZVN_HOOK_LAST : ZVN_HOOK_KEEP);
}

// The boot's fall-back: per family, the chain as it was after the last
// successful apply --save, else the fail-safe set. Never nothing.
std::string fall_back(std::vector<std::string> &problems)
{
    set_up_hook();
    const auto [failsafe4, failsafe6] = zorvane::chain_sections(failsafe_text(problems));
    const std::string good4 = zorvane::last_good(false);
    const std::string good6 = options.both_families ? zorvane::last_good(true) : "";
    const std::string chosen = zorvane::chain_text_of(good4.empty() ? failsafe4 : good4,
                                                      good6.empty() ? failsafe6 : good6, options.both_families);
    const bool any_failsafe = good4.empty() || (options.both_families && good6.empty());
    zvn_label_installs(any_failsafe ? zorvane::label_failsafe : zorvane::label_last_good);
    if (zvn_install_chain_text(chosen.c_str()) == 0) {
        std::string what;
        for (const auto &[name, good, both] :
             {std::tuple{"IPv4", !good4.empty(), true}, std::tuple{"IPv6", !good6.empty(), options.both_families}})
            if (both)
                what += std::string(what.empty() ? "" : "; ") + name + ": " +
                        (good ? "the last set installed successfully (" + zorvane::last_good_path(name[3] == '6') + ")"
                              : std::string("the fail-safe set (loopback, established traffic and the allows of ") +
                                    failsafe_allows + "; every other new connection dropped and logged as "
                                                      "FAILSAFE ACT=DROP)");
        return what;
    }
    // A kept set the tools no longer take: the fail-safe set alone.
    const std::string failsafe = zorvane::chain_text_of(failsafe4, failsafe6, options.both_families);
    zvn_label_installs(zorvane::label_failsafe);
    if ((!good4.empty() || !good6.empty()) && zvn_install_chain_text(failsafe.c_str()) == 0)
        return "the fail-safe set (the kept last good set was refused by the tools)";
    const std::string words = zvn_last_error_tool_words();
    throw Failure(3, "not even the fail-safe set could be installed" + (words.empty() ? "" : ": " + words) +
                         "; the host is NOT filtered by zorvane");
}

// After a boot: prepare the chain and apply the saved rule set. A saved set
// that cannot be restored as it is (missing where one was saved before,
// unreadable, refused, a tool missing) is replaced by the last good set or
// the fail-safe set, and the command fails so that the unit does: the host
// is filtered, and someone is told.
int run_restore(const std::vector<std::string> &tool_problems)
{
    // The set boots as it was applied: its layout and its log limit.
    const zorvane::ApplyOptions saved = zorvane::read_options(zorvane::saved_options);
    zorvane::use_options(saved);
    zorvane::refuse_if_pending();
    std::vector<std::string> problems = tool_problems;
    std::string why;
    std::string text;
    std::optional<Rules> rules;
    const bool saved_before = !zorvane::last_good(false).empty() || !zorvane::last_good(true).empty();
    if (access(zorvane::saved_rules, F_OK) != 0 && errno == ENOENT) {
        if (!saved_before) {
            std::cerr << "no saved rule set (" << zorvane::saved_rules
                      << ") and none was ever saved: nothing to restore; the packet filter was not changed\n";
            return 0;
        }
        why = std::string("the saved rule set ") + zorvane::saved_rules + " is missing, though one was saved before";
    }
    if (why.empty()) {
        try {
            text = read_rules(zorvane::saved_rules);
            Checked checked = refuse_or_accept(text, zorvane::saved_as_forced(text));
            rules = std::move(checked.rules);
            test_run(*rules);
        } catch (const Failure &failure) {
            why = "the saved rule set " + std::string(zorvane::saved_rules) + " is refused: " + failure.what();
        }
    }
    if (why.empty()) {
        if (!host()["preparation_script"]["present"].get<bool>())
            problems.push_back(host()["preparation_script"]["path"].get<std::string>() +
                               " is missing: the host was not prepared");
        const CommandLock lock;
        set_up_hook();
        try {
            require_hooked_chain();
            zvn_label_installs(zorvane::label_restore);
            zorvane::record_applying(text);
            install(*rules);
            zorvane::forget_applying();
        } catch (const Failure &failure) {
            zorvane::forget_applying();
            why = failure.what();
        }
    }
    if (!why.empty()) {
        const CommandLock lock;
        const std::string instead = fall_back(problems);
        zorvane::record_boot(true, why, instead);
        std::cerr << "zorvane: " << why << "\nzorvane: in force instead: " << instead << "\n";
        for (const auto &problem : problems)
            std::cerr << "zorvane: " << problem << "\n";
        return 3;
    }
    zorvane::record_boot(false, "", zorvane::saved_rules);
    std::cerr << "restored " << zorvane::saved_rules << " into the chain ZORVANE\n";
    for (const auto &problem : problems)
        std::cerr << "zorvane: " << problem << "\n";
    return problems.empty() ? 0 : 3;
}

// "systemctl reload zorvane": the saved rule set applied again with its
// saved options, as a boot would restore it; a saved set that is refused
// changes nothing (no fall-back: what is in force stays).
// "zorvane rule add|delete": the saved set edited by one rule, the change
// shown, then checked, applied and saved as apply --save does (with the
// saved options; --confirm as apply has).
struct RuleEdit {
    std::string rule;         // add: the rule's JSON object
    std::size_t at = 0;       // add: its number (0: the end); delete: the rule taken out
    bool force = false;
    int confirm_seconds = 0;
};

int run_rule_edit(const RuleEdit &edit, bool adding)
{
    const std::string saved_text = read_rules(zorvane::saved_rules);
    auto rules = nlohmann::json::parse(saved_text, nullptr, false);
    if (!rules.is_array())
        throw Failure(1, std::string("the saved set ") + zorvane::saved_rules + " is no JSON array of rules");
    if (adding) {
        const auto rule = nlohmann::json::parse(edit.rule, nullptr, false);
        if (!rule.is_object())
            throw Failure(2, "RULE is no JSON object: " + edit.rule);
        if (edit.at > rules.size() + 1)
            throw Failure(2, "--at " + std::to_string(edit.at) + ": the saved set has " + std::to_string(rules.size()) +
                                 " rules (at most " + std::to_string(rules.size() + 1) + ")");
        const std::size_t at = edit.at == 0 ? rules.size() : edit.at - 1;
        rules.insert(rules.begin() + static_cast<long>(at), rule);
    } else {
        if (edit.at == 0 || edit.at > rules.size())
            throw Failure(2, "there is no rule " + std::to_string(edit.at) + " in the saved set (" +
                                 std::to_string(rules.size()) + " rules)");
        rules.erase(rules.begin() + static_cast<long>(edit.at - 1));
    }
    std::string text = "[\n";
    for (std::size_t r = 0; r < rules.size(); ++r)
        text += "  " + rules[r].dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                (r + 1 < rules.size() ? ",\n" : "\n");
    text += "]\n";
    zorvane::diff_texts(saved_text, "the saved set", text, "the edited set", true, std::cerr);
    ApplyArgs apply;
    apply.file = std::string(adding ? "rule add" : "rule delete") + " (" + zorvane::saved_rules + ")";
    apply.text = text;
    apply.force = edit.force;
    apply.save = true;
    apply.confirm_seconds = edit.confirm_seconds;
    apply.options = zorvane::read_options(zorvane::saved_options);
    return run_apply(apply);
}

int run_reload()
{
    zorvane::use_options(zorvane::read_options(zorvane::saved_options));
    zorvane::refuse_if_pending();
    zvn_set_keep_counts(1);  // a reload changes no count
    const std::string text = read_rules(zorvane::saved_rules);
    const Checked checked = refuse_or_accept(text, zorvane::saved_as_forced(text));
    const Rules &rules = *checked.rules;
    const CommandLock lock;
    require_hooked_chain();
    zvn_label_installs(zorvane::label_reload);
    zorvane::record_applying(text);
    try {
        install(rules);
    } catch (...) {
        zorvane::forget_applying();
        throw;
    }
    zorvane::forget_applying();
    std::cerr << "reloaded " << zorvane::saved_rules << " (" << rules.size() << " rules) into the chain ZORVANE\n";
    return 0;
}

int run_confirm()
{
    if (!zorvane::confirm_pending_change())
        throw Failure(3, "no change is waiting for confirmation");
    std::cerr << zorvane::last_outcome().words << "\n";
    return 0;
}

struct CountsArgs {
    std::string file;  // "": the set in force, else the saved one
    bool json = false;
    bool prometheus = false;
    bool bytes = false;
    zorvane::ApplyOptions options;
};

// The rule set a reader names: FILE, or the set the last install put in
// force (an apply without --save leaves no saved file), or the saved one.
std::string rules_named(const std::string &file)
{
    if (!file.empty())
        return read_rules(file);
    if (const auto in_force = zorvane::rules_in_force())
        return *in_force;
    return read_rules(zorvane::saved_rules);
}

int run_counts(const CountsArgs &args)
{
    const std::string text = rules_named(args.file);
    refuse_nul(text);
    zorvane::use_options(args.options);
    // The table is listed while the set is read.
    const zorvane::Table table;
    const auto rules = Rules::parse(text);
    if (!rules) {
        if (zvn_last_error_code() == ZVN_ERROR_NOT_JSON)
            throw Failure(1, zvn_last_error());
        throw Failure(1, std::string("the rule set is not valid (") + zvn_last_error() +
                             "): run zorvane check for its findings");
    }
    // Each rule's words while the tool lists the table; then the counts
    // (their lines compared as the listing comes). A chain that no packet
    // reaches counts nothing worth telling.
    std::vector<zorvane::RuleRow> rows;
    rows.reserve(rules->size());
    for (std::size_t r = 1; r <= rules->size(); ++r)
        rows.push_back({r, rules->allows(r), rules->description(r), false, 0, 0});
    std::vector<zvn_rule_count> counts(rules->size());
    const int status = zvn_table_counts(table.get(), rules->get(), counts.data(), counts.size());
    const int code = zvn_last_error_code();
    const std::string why = zvn_last_error();
    require_hooked_chain(table.status());
    if (status != 0 && code != ZVN_ERROR_COUNT) {
        if (code == ZVN_ERROR_MISMATCH)
            throw Failure(3, "the chain ZORVANE does not hold this rule set, so there are no counts of it:\n  " + why);
        throw Failure(3, "the counts could not be read (status " + std::to_string(status) + ")" +
                             (why.empty() ? "" : ": " + why));
    }
    for (std::size_t r = 0; r < counts.size(); ++r) {
        rows[r].told = counts[r].told != 0;
        rows[r].packets = counts[r].packets;
        rows[r].bytes = counts[r].bytes;
    }
    if (args.json && args.bytes)
        std::cout << zorvane::counts_json_with_bytes(rows);
    else if (args.json)
        std::cout << zorvane::counts_json(rows);
    else if (args.prometheus)
        std::cout << zorvane::prometheus_text(rows);
    else
        std::cout << zorvane::counts_table(rows, args.bytes);
    return 0;
}

// A rule-set file the command keeps (the saved set, an unfinished apply's),
// parsed; nothing where it is missing, unreadable or refused.
std::optional<Rules> kept_rules(const std::string &path, std::string *text_out = nullptr)
{
    if (access(path.c_str(), R_OK) != 0)
        return std::nullopt;
    std::string text;
    try {
        text = read_rules(path);
    } catch (const Failure &) {
        return std::nullopt;
    }
    if (text.find('\0') != std::string::npos)
        return std::nullopt;
    if (text_out != nullptr)
        *text_out = text;
    return Rules::parse(text);
}

std::optional<nlohmann::json> verified_against(const zorvane::Table &table, const Rules &rules)
{
    const auto verified = zorvane::filled(
        [&](char *out, std::size_t n) { return zvn_table_verify_json(table.get(), rules.get(), out, n); });
    if (!verified)
        return std::nullopt;
    return nlohmann::json::parse(*verified);
}

nlohmann::json &family_of(nlohmann::json &status, const std::string &family)
{
    return family == "ipv4" ? status : status["ipv6"];
}

// What the chain is compared with: the library's record of the last
// install, by whichever client; where none was made since the boot, the
// saved set. Adds "holds" (and "differs", "layout") to each family's
// status; false where some family does not hold it.
bool holds_reference(const zorvane::Table &table, nlohmann::json &status, std::vector<std::string> &problems)
{
    const auto installed = zorvane::json_of(
        [&](char *out, std::size_t n) { return zvn_table_installed_json(table.get(), out, n); },
        "cannot read the record of the last install");
    if (installed.value("state", std::string()) == "broken")
        problems.push_back("the record of the last install is broken (" + installed.value("problem", std::string()) +
                           "): what is in force cannot be told");
    bool all = true;
    if (installed.contains("record")) {
        const auto &record = installed["record"];
        status["installed"] = record;
        status["compared_with"] = "the last install (" + record.value("label", std::string("a client")) + " by " +
                                  record.value("program", std::string("?")) + ")";
        const nlohmann::json families = installed.value("families", nlohmann::json::object());
        for (const auto &[family, one] : families.items()) {
            if (one.value("unread", false))
                continue;
            nlohmann::json &target = family_of(status, family);
            target["holds"] = one["holds"];
            const nlohmann::json &kept = record["families"].contains(family) ? record["families"][family] : one;
            if (kept.contains("layout")) {
                target["layout"] = {{"kind", kept["layout"]},
                                    {"chains", kept.value("chains", 1)},
                                    {"lines", one.value("lines", 0)},
                                    {"log_limit", kept.value("log_limit", 0)}};
                if (one.value("holds", false))
                    target["layout"]["deepest_walk"] = kept.value("deepest_walk", 0);
            }
            if (one.contains("differs"))
                target["differs"] = std::to_string(one.value("holding_lines", 0)) + " of " +
                                    std::to_string(one.value("expected_lines", 0)) + " lines hold; " +
                                    one["differs"].get<std::string>();
            all = all && one["holds"].get<bool>();
        }
        return all;
    }
    // Nothing installed through the library since the boot: the saved set.
    const auto saved = kept_rules(zorvane::saved_rules);
    if (!saved)
        return true;
    const auto verified = verified_against(table, *saved);
    if (!verified)
        return true;
    status["compared_with"] = zorvane::saved_rules;
    for (const auto &[family, one] : verified->items()) {
        nlohmann::json &target = family_of(status, family);
        target["holds"] = one["holds"];
        if (one.contains("layout"))
            target["layout"] = {{"kind", one["layout"]}, {"chains", one["chains"]}, {"lines", one["lines"]}};
        if (one.contains("differs"))
            target["differs"] = std::to_string(one.value("holding_lines", 0)) + " of " +
                                std::to_string(one.value("expected_lines", 0)) + " lines hold; " +
                                one["differs"].get<std::string>();
        all = all && one["holds"].get<bool>();
    }
    return all;
}

// Whether a reboot would put in force what is in force now: the saved set
// with its options, against the record (or, after a chain text's install,
// against the chain itself).
std::optional<std::string> saved_differs(const zorvane::Table &table, const nlohmann::json &status)
{
    if (!status.contains("installed") || access(zorvane::saved_rules, F_OK) != 0)
        return std::nullopt;  // without a record the chain was compared with the saved set itself
    std::string text;
    const auto saved = kept_rules(zorvane::saved_rules, &text);
    if (!saved)
        return std::string("the saved rule set ") + zorvane::saved_rules +
               " cannot be restored as it is: a reboot would fall back to the last good or the fail-safe set";
    const zorvane::ApplyOptions saved_with = zorvane::read_options(zorvane::saved_options);
    zorvane::use_options(saved_with);
    if (zvn_installed_same(text.data(), text.size()) == 1)
        return std::nullopt;
    const bool rule_set = status.contains("installed") && status["installed"].value("kind", "") == "rule set";
    if (!rule_set) {
        // A chain text went in (a roll-back, a fall-back): it may be the
        // saved set all the same.
        const auto verified = verified_against(table, *saved);
        bool same = verified.has_value();
        if (verified)
            for (const auto &[family, one] : verified->items())
                same = same && one.value("holds", false) &&
                       (saved_with.layout == "auto" || one.value("layout", std::string()) == saved_with.layout) &&
                       one.value("log_limit", 0u) == saved_with.log_limit;
        if (same)
            return std::nullopt;
    }
    return std::string("the saved rule set ") + zorvane::saved_rules +
           " (with its options) is not the one in force: a reboot would change the rules";
}

// What status adds of the frame, the boot, a change that waits and the
// guard: problems (exit 3) and notes.
void frame_problems(const nlohmann::json &one, const std::string &name, std::vector<std::string> &problems,
                    std::vector<std::string> &warnings)
{
    if (!one.value("chain", false) || one.value("hooks", 0) == 0)
        return;  // told already
    if (one.value("hooks", 0) > 1)
        problems.push_back(name + ": " + std::to_string(one["hooks"].get<int>()) +
                           " lines of INPUT reach the chain, where setup made one (the guard takes the others away)");
    for (const auto &line : one.value("prepared_missing", nlohmann::json::array()))
        problems.push_back(name + ": the preparation's line \"" + line.get<std::string>() + "\" is gone from INPUT");
    if (!one.value("established_pass", true))
        problems.push_back(name + ": replies of established connections cannot pass INPUT (policy " +
                           one.value("policy", std::string("?")) + "): no session to this host completes");
    if (!one.value("loopback_pass", true))
        problems.push_back(name + ": loopback traffic cannot pass INPUT");
    for (const auto &rule : one.value("ahead", nlohmann::json::array()))
        warnings.push_back(name + ": ahead of the hook, this rule can accept new connections before zorvane sees "
                                  "them: " + rule.get<std::string>());
    for (const auto &chain : one.value("container_chains", nlohmann::json::array()))
        warnings.push_back(name + ": the chain " + chain.get<std::string>() +
                        " stands: ports a container engine publishes are reached through FORWARD, which the rule "
                        "set does not filter");
}

int run_status(bool json)
{
    const CommandLock lock;
    // One listing per family: the chain, the hook and its frame, and
    // whether the chain holds what the last install put in force.
    const zorvane::Table table;
    auto status = table.status();
    std::vector<std::string> problems, warnings, notes;
    const bool holds = holds_reference(table, status, problems);
    if (const auto unfinished = kept_rules(zorvane::applying_record))
        if (const auto verified = verified_against(table, *unfinished))
            for (const auto &[family, one] : verified->items())
                if (one.value("holds", false))
                    family_of(status, family)["holds_unfinished"] = std::string(zorvane::applying_record);
    frame_problems(status, "IPv4", problems, warnings);
    if (status.contains("ipv6"))
        frame_problems(status["ipv6"], "IPv6", problems, warnings);
    const std::string label =
        status.contains("installed") ? status["installed"].value("label", std::string()) : std::string();
    const auto boot = zorvane::boot_outcome();
    if (label == zorvane::label_failsafe || label == zorvane::label_last_good)
        problems.push_back(std::string("in force since the boot: ") +
                           (label == zorvane::label_failsafe ? "the fail-safe set" : "the last good set") +
                           (boot.contains("why") ? ", because " + boot["why"].get<std::string>() : std::string()));
    const zorvane::Pending pending = zorvane::pending_change();
    if (pending.waiting) {
        const bool overdue = std::time(nullptr) > pending.deadline + 5;
        if (!pending.watcher_alive)
            problems.push_back("a change awaited confirmation until " + pending.until + " (" + pending.file +
                               "), but its watcher is gone: the next zorvane command or the guard rolls it back");
        else if (overdue)
            problems.push_back("the change awaiting confirmation (" + pending.file + ") passed its deadline at " +
                               pending.until + " and is not settled yet" +
                               (pending.lock_wait_since != 0 ? ": its watcher waits for the lock" : ""));
        else
            notes.push_back("a change awaits confirmation until " + pending.until + " (" + pending.file +
                            "): zorvane confirm keeps it, otherwise it is rolled back then");
    } else if (pending.last_put_back_failed) {
        problems.push_back("the last change to be confirmed could not be rolled back: " + pending.last_words);
    }
    if (zorvane::guard_paused())
        notes.push_back("the guard is paused (zorvane guard --resume lets it repair again)");
    if (const auto differs = saved_differs(table, status))
        notes.push_back(*differs);
    // Where country rules stand as address sets: the source chosen and the
    // databases they were built from, as the last install recorded them
    // (after a chain text's install, which needs none: as saved).
    if (status.contains("country_sets") || (status.contains("ipv6") && status["ipv6"].contains("country_sets"))) {
        zorvane::ApplyOptions built_with = zorvane::read_options(zorvane::saved_options);
        const nlohmann::json record = status.value("installed", nlohmann::json::object());
        if (record.contains("country_databases")) {
            built_with.countries = record.value("countries", std::string("sets"));
            built_with.country_databases = record["country_databases"].get<std::vector<std::string>>();
        }
        const std::string chosen = built_with.countries;
        built_with.countries = "sets";  // as they stand: no question of the kernel
        zorvane::use_options(built_with);
        status["countries"] =
            zorvane::json_of([](char *out, std::size_t size) { return zvn_countries_json(out, size); },
                             "the country database could not be told");
        status["countries"]["chosen"] = chosen;
        for (const auto *one : {&status, status.contains("ipv6") ? &status["ipv6"] : nullptr})
            if (one != nullptr)
                for (const auto &set : one->value("country_sets", nlohmann::json::array()))
                    if (!set.value("stands", false) || !set.value("intact", false))
                        problems.push_back("the address set " + set.value("name", std::string()) + " of rule " +
                                           std::to_string(set.value("rule", 0)) +
                                           (set.value("stands", false) ? " does not hold what it was made with"
                                                                       : " is missing") +
                                           ": the rule's countries are not filtered as the rule set says");
    }
    status["problems"] = problems;
    status["warnings"] = warnings;
    status["notes"] = notes;
    if (json)
        std::cout << status.dump() << "\n";
    else
        std::cout << zorvane::status_text(status);
    return zorvane::chain_ready(status) && holds && problems.empty() ? 0 : 3;
}

int run_setup(const std::string &hook)
{
    zorvane::refuse_if_pending();
    const auto script = host()["preparation_script"];
    if (!script["present"].get<bool>())
        throw Failure(3, script["path"].get<std::string>() +
                             " is missing: this host has no preparation script of its own, so the chain was not "
                             "set up.\n  The package ships an example that accepts loopback and established "
                             "traffic; read it, then install it with\n    install -m 0755 " ZORVANE_EXAMPLE_SCRIPT " " +
                             script["path"].get<std::string>() + "\n  and run zorvane setup again");
    const CommandLock lock;
    // "Chain already exists" and "Bad rule" are the normal answers of a
    // second setup and of a first one: the library keeps them, and -v
    // shows them.
    zvn_setup_chain_hook(hook == "first" ? ZVN_HOOK_FIRST : hook == "last" ? ZVN_HOOK_LAST : ZVN_HOOK_KEEP);
    if (!hook.empty())
        zorvane::save_hook_place(hook);  // where restore puts it at the next boot
    if (!zorvane::chain_ready(chain_status()))
        throw Failure(3, "setting up the chain failed (zorvane -v setup shows the tools' words)");
    std::cerr << "the chain ZORVANE is ready and reached from INPUT\n";
    std::cerr << zorvane::hook_words(input_status());
    return 0;
}

int run_reset()
{
    zorvane::refuse_if_pending();
    const int status = reset_counter();
    if (status != 0) {
        const std::string words = zvn_last_error_tool_words();
        throw Failure(3, "zeroing the counters failed (status " + std::to_string(status) + ")" +
                             (words.empty() ? "" : ": " + words));
    }
    std::cerr << "the counters of the chain ZORVANE are zero\n";
    return 0;
}

// A number given to an option, read as plain decimal as ports are: digits
// only, a leading zero no sign of octal ("010" is 10; "0x10", " 7" and
// "+7" are refused), within [least, most].
CLI::Validator decimal_in(unsigned long least, unsigned long most)
{
    return CLI::Validator(
        [least, most](std::string &text) -> std::string {
            if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
                return "a plain decimal number is wanted, not \"" + text + "\"";
            const std::size_t first = std::min(text.find_first_not_of('0'), text.size() - 1);
            const std::string digits = text.substr(first);
            const unsigned long value = digits.size() > 9 ? most + 1 : std::stoul(digits, nullptr, 10);
            if (value < least || value > most)
                return "the value " + text + " is not in " + std::to_string(least) + " to " + std::to_string(most);
            text = std::to_string(value);  // what the conversion then reads
            return "";
        },
        "DECIMAL in " + std::to_string(least) + " to " + std::to_string(most));
}

// --countries and --country-db, which check, apply and counts share.
void add_country_options(CLI::App &command, zorvane::ApplyOptions &chosen)
{
    command
        .add_option("--countries", chosen.countries,
                    "How src_country rules meet the kernel: match (the country match, -m geoip, which needs its "
                    "kernel module), sets (an address set per rule and family, filled from the country database), "
                    "or auto (the default: the match where the kernel takes it, else sets)")
        ->check(CLI::IsMember(zorvane::country_source_names));
    command
        .add_option("--country-db", chosen.country_databases,
                    "A country database of \"first,last,CC\" lines (dotted IPv4, IPv4 integers or IPv6); may be "
                    "given more than once (default: /usr/share/tor/geoip and /usr/share/tor/geoip6)")
        ->type_name("FILE")
        ->check(CLI::ExistingFile)
        ->allow_extra_args(false)  // one FILE each time: the rule set after it stays the rule set
        ->take_all();
}

// --layout, --log-limit and the country options, which check and apply share.
void add_layout_options(CLI::App &command, zorvane::ApplyOptions &chosen)
{
    command
        .add_option("--layout", chosen.layout,
                    "How the rules stand in the kernel: flat (every rule in ZORVANE, walked in order), indexed "
                    "(a tree of sub-chains by source address: the walk stays short however many rules), or auto "
                    "(the default: indexed from 16 rules of a family on)")
        ->check(CLI::IsMember(zorvane::layout_names));
    command
        .add_option("--log-limit", chosen.log_limit,
                    "Log at most N drops per second per rule (after its first N); 0, the default, logs every drop. "
                    "Drops and counts stay exact")
        ->type_name("N")
        ->transform(decimal_in(0, zorvane::most_log_limit));
    add_country_options(command, chosen);
}

std::size_t edit_distance(const std::string &a, const std::string &b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// "no command \"aply\"; did you mean \"apply\"?" where the first word that
// is no option names no command; "" where it does (or there is none).
std::string nearest_command(CLI::App &app, int argc, char **argv)
{
    std::string word;
    for (int i = 1; i < argc && word.empty(); ++i)
        if (argv[i][0] != '-')
            word = argv[i];
    if (word.empty())
        return "";
    std::string best, names;
    std::size_t best_distance = 3;
    for (const CLI::App *command : app.get_subcommands({})) {
        const std::string &name = command->get_name();
        if (name == word)
            return "";
        names += (names.empty() ? "" : ", ") + name;
        if (const std::size_t d = edit_distance(word, name); d < best_distance) {
            best_distance = d;
            best = name;
        }
    }
    return "no command \"" + word + "\"" + (best.empty() ? " (the commands: " + names + ")" : "; did you mean \"" + best + "\"?");
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"zorvane: the host firewall's rule sets in the iptables chain ZORVANE.\n"
                 "FILE is a rule set (JSON), or - for standard input."};
    app.name("zorvane");
    app.set_version_flag("--version", "zorvane " ZORVANE_VERSION);
    app.add_flag("-v,--verbose", options.verbose, "Show the library's log (every command it runs) on standard error");
    app.add_flag("--ipv4-only", options.ipv4_only,
                 "Filter IPv4 alone (by default both families, where the kernel has IPv6)");
    app.require_subcommand(1);
    app.fallthrough();

    CheckArgs check_args;
    auto *check = app.add_subcommand("check", "Findings on a rule set, then the test run; installs nothing");
    check->add_option("FILE", check_args.file,
                      "Rule set (default: the saved " + std::string(zorvane::saved_rules) + ", or with --failsafe " +
                          failsafe_allows + ")");
    check->add_flag("--failsafe", check_args.failsafe,
                    "Check FILE as the fail-safe set's allows: every rule must allow (the boot's fall-back keeps "
                    "them open, the management port above all)");
    auto *check_json = check->add_flag("--json", check_args.json, "Print the findings as a JSON array");
    check->add_flag("--show", check_args.show, "Print the restore text that applying would install")->excludes(check_json);
    check->add_flag("--no-test", check_args.no_test,
                    "The findings alone, without the test run (no root needed: a CI job, say)");
    add_layout_options(*check, check_args.options);

    ApplyArgs apply_args;
    auto *apply = app.add_subcommand("apply", "Check, test and install a rule set in one commit");
    apply->add_option("FILE", apply_args.file, "Rule set")->required();
    apply->add_flag("--force", apply_args.force, "Apply even with error findings");
    apply->add_flag("--save", apply_args.save,
                    "After success (and confirmation), save the rule set as " + std::string(zorvane::saved_rules));
    apply->add_option("--confirm", apply_args.confirm_seconds,
                      "Keep the new rules only if confirmed within SECONDS (\"yes\", or zorvane confirm); "
                      "otherwise put the old chain back")
        ->type_name("SECONDS")
        ->transform(decimal_in(1, 86400));
    apply->add_flag("--diff", apply_args.diff, "Show what changes against the set in force, rule by rule, first");
    apply->add_flag("--reset-counts", apply_args.reset_counts,
                    "Start every rule's counts at zero (by default each rule keeps the packets and bytes of the "
                    "same rule in the set in force, whatever its number)");
    add_layout_options(*apply, apply_args.options);

    CountsArgs counts_args;
    auto *counts = app.add_subcommand("counts", "Packets each rule decided, read in one listing");
    counts->add_option("FILE", counts_args.file, "Rule set (default: the saved " + std::string(zorvane::saved_rules) + ")");
    auto *counts_json = counts->add_flag("--json", counts_args.json, "Print the counts as a JSON array");
    counts->add_flag("--prometheus", counts_args.prometheus, "Print node_exporter textfile format")->excludes(counts_json);
    counts->add_flag("--bytes", counts_args.bytes,
                     "Bytes beside the packets (the table's column; with --json objects {packets, bytes})");
    add_country_options(*counts, counts_args.options);

    RuleEdit rule_edit;
    auto *rule = app.add_subcommand("rule", "Add or delete one rule of the saved set, and apply it");
    rule->require_subcommand(1);
    auto *rule_add = rule->add_subcommand("add", "Insert RULE (a JSON object) into the saved set, show the change, apply and save it");
    rule_add->add_option("RULE", rule_edit.rule, "The rule, as JSON: '{\"protocol\":\"tcp\",\"dports_list\":[\"443\"],\"allow\":true}'")
        ->required();
    rule_add->add_option("--at", rule_edit.at, "Its number (default: the end)")->type_name("N")->transform(decimal_in(1, 4000000000UL));
    auto *rule_delete = rule->add_subcommand("delete", "Take rule N out of the saved set, show the change, apply and save it");
    rule_delete->add_option("N", rule_edit.at, "The rule's number")->required()->transform(decimal_in(1, 4000000000UL));
    for (auto *one : {rule_add, rule_delete}) {
        one->add_flag("--force", rule_edit.force, "Apply even with error findings");
        one->add_option("--confirm", rule_edit.confirm_seconds, "As apply --confirm")
            ->type_name("SECONDS")
            ->transform(decimal_in(1, 86400));
    }

    std::string diff_file;
    bool diff_saved = false;
    auto *diff = app.add_subcommand("diff", "The set in force (or the saved one) against FILE, rule by rule");
    diff->add_option("FILE", diff_file, "Rule set")->required();
    diff->add_flag("--saved", diff_saved, "Compare with the saved set instead of the one in force");

    std::string log_path = "/var/log/ulogd_syslogemu.log", log_since;
    std::size_t log_rule = 0;
    bool log_follow = false, log_json = false, log_summary = false;
    auto *log = app.add_subcommand("log", "The drop log read back: which rule dropped what, from where");
    log->add_option("--rule", log_rule, "Only the drops of rule N")->type_name("N")->transform(decimal_in(1, 4000000000UL));
    log->add_option("--since", log_since, "Only drops since TIME (30s, 10m, 2h, 1d, or \"YYYY-MM-DD HH:MM[:SS]\")")
        ->type_name("TIME");
    log->add_flag("--follow", log_follow, "Go on printing drops as they are logged");
    log->add_flag("--json", log_json, "One JSON object a line (with --summary, one array)");
    auto *summary = log->add_flag("--summary", log_summary, "Per rule: drops, first and last seen, the top sources");
    summary->excludes(log->get_option("--follow"));
    log->add_option("--file", log_path, "The drop log (default /var/log/ulogd_syslogemu.log)")->type_name("FILE");

    std::string top_file;
    bool top_once = false, top_json = false;
    double top_interval = 1.0;
    auto *top = app.add_subcommand("top", "A live table of each rule's packets and bytes a second");
    top->add_option("FILE", top_file, "Rule set (default: the set in force, else the saved one)");
    top->add_flag("--once", top_once, "Measure once over the interval and print, for scripts");
    top->add_flag("--json", top_json, "With --once: a JSON array of {rule, verdict, description, packets, bytes, "
                                      "packets_per_second, bytes_per_second}");
    top->add_option("--interval", top_interval, "Seconds between reads (default 1)")
        ->check(CLI::Range(0.1, 3600.0));

    bool status_json = false;
    auto *status = app.add_subcommand("status", "Whether the chain exists, is reached from INPUT, and its size");
    status->add_flag("--json", status_json, "Print the status as JSON");

    auto *setup = app.add_subcommand("setup", "Run the host's preparation script and hook the chain into INPUT");
    std::string setup_hook;
    setup->add_option("--hook", setup_hook,
                      "Where the hook goes: last (the end of INPUT: other tools' rules ahead of it decide first) or "
                      "first (the top: the rule set decides before them); without it an existing hook stays where "
                      "it stands")
        ->check(CLI::IsMember({"first", "last"}));
    auto *reset = app.add_subcommand("reset", "Zero the packet counters of the chain");
    auto *restore = app.add_subcommand("restore", "Set up the chain and apply the saved rule set (at boot)");
    auto *reload = app.add_subcommand("reload", "Apply the saved rule set again with its saved options");
    auto *confirm = app.add_subcommand("confirm", "Keep a change that apply --confirm waits for");
    int guard_interval = 5;
    std::string guard_textfile;
    bool guard_pause = false, guard_resume = false;
    auto *guard = app.add_subcommand(
        "guard", "Watch the chain and put back the set last applied and its hook when another tool breaks them");
    guard->add_option("--interval", guard_interval, "Seconds between looks (default 5)")->transform(decimal_in(1, 3600));
    guard->add_option("--textfile", guard_textfile,
                      "Keep zorvane_chain_intact and zorvane_repairs_total in DIR/zorvane.prom (node_exporter)")
        ->type_name("DIR");
    auto *pause = guard->add_flag("--pause", guard_pause, "Stop the repairs of the running guard (a deliberate change)");
    guard->add_flag("--resume", guard_resume, "Let the guard repair again")->excludes(pause);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // A command's name mistyped: say which was meant, not only that one
        // is required.
        if (const std::string near = nearest_command(app, argc, argv); !near.empty()) {
            std::cerr << "zorvane: " << near << "\n";
            return 2;
        }
        const int shown = app.exit(e);
        return shown == 0 ? 0 : 2;
    }
    Log_impl = std::ref(log_stream);
    // The tools' words stay out of the terminal: the messages are made of
    // the library's records, and -v shows the words with the log.
    zvn_keep_tool_words(1);
    // A host firewall that filters one family leaves the host open on the
    // other: both, unless asked otherwise or the kernel has no IPv6.
    // At boot a missing IPv6 tool must not stop the IPv4 set: that family
    // goes on alone, and the unit fails to say so.
    std::vector<std::string> tool_problems;
    try {
        const auto ipv6 = host()["ipv6"];
        if (!options.ipv4_only && ipv6["kernel"].get<bool>()) {
            std::string missing;
            for (const auto &tool : ipv6["tools_missing"])
                missing += (missing.empty() ? "" : " and ") + tool.get<std::string>();
            if (*restore && !missing.empty()) {
                tool_problems.push_back("IPv6: " + missing + " missing, so the IPv6 chain was not set up");
            } else {
                zvn_enable_ipv6();
                options.both_families = true;
            }
        }
    } catch (const Failure &failure) {
        std::cerr << "zorvane: " << failure.what() << "\n";
        return failure.status();
    }

    // The command always knows layouts: an apply takes away the sub-chains
    // an earlier layout left, and reset zeroes them.
    zorvane::use_options(zorvane::ApplyOptions{});

    try {
        for (const auto *needs : {apply, counts, status, setup, reset, restore, reload, confirm, guard, top, diff, rule})
            if (*needs)
                require_root("zorvane " + needs->get_name());
        if (*check)
            return run_check(check_args);
        if (*apply)
            return run_apply(apply_args);
        if (*counts)
            return run_counts(counts_args);
        if (*status)
            return run_status(status_json);
        if (*setup)
            return run_setup(setup_hook);
        if (*reset)
            return run_reset();
        if (*restore)
            return run_restore(tool_problems);
        if (*reload)
            return run_reload();
        if (*confirm)
            return run_confirm();
        if (*guard)
            return zorvane::run_guard(guard_interval, guard_textfile, guard_pause, guard_resume);
        if (*diff)
            return zorvane::run_diff(diff_file, diff_saved, false, std::cout);
        if (*rule)
            return run_rule_edit(rule_edit, rule_add->parsed());
        if (*log)
            return zorvane::run_log(log_path, log_rule, zorvane::parse_since(log_since), log_follow, log_json,
                                    log_summary);
        if (*top)
            return zorvane::run_top(rules_named(top_file), top_once, top_json, top_interval);

    } catch (const Failure &failure) {
        std::cerr << "zorvane: " << failure.what() << "\n";
        return failure.status();
    } catch (const std::exception &e) {
        std::cerr << "zorvane: " << e.what() << "\n";
        return 3;
    }
    return 2;
}
