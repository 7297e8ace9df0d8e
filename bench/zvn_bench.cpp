// Benchmark of libzorvane against the tools it drives. Runs inside the
// sandbox (bench/run.sh starts it); prints CSV rows
//   section,backend,rules,metric,value
// on standard output. Times are medians in milliseconds over interleaved
// repetitions; memory in bytes.
//
//   zvn_bench apply  SIZES...  real tools: the library's apply against the bare
//                              tools on the same restore file
//   zvn_bench own    SIZES...  tools that return at once: the library's own time
//                              and peak memory against a plain parse
//   zvn_bench counts SIZES...  real tools: both count operations against one
//                              listing
//   zvn_bench check  SIZES...  real tools: the check of a rule set against
//                              the test run of its restore file; its memory
//   zvn_bench apply6 SIZES...  real tools, IPv6 on: a rule set of both
//                              families against the bare tools doing the
//                              same two test runs and two installs
//   zvn_bench layout SIZES...  real tools: a block list's indexed apply
//                              against its flat one; the indexed layout's
//                              figures, and a hostile mix's
#include <libzorvane.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// --- heap accounting ---------------------------------------------------------
// Every operator new of the process, the library's included, is counted.

namespace {
std::atomic<size_t> heap_now{0};
std::atomic<size_t> heap_peak{0};

void *counted_alloc(size_t n)
{
    void *p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr)
        throw std::bad_alloc();
    const size_t now = heap_now += malloc_usable_size(p);
    size_t peak = heap_peak.load();
    while (now > peak && !heap_peak.compare_exchange_weak(peak, now)) {
    }
    return p;
}

void counted_free(void *p) noexcept
{
    if (p != nullptr) {
        heap_now -= malloc_usable_size(p);
        std::free(p);
    }
}
}  // namespace

void *operator new(size_t n) { return counted_alloc(n); }
void *operator new[](size_t n) { return counted_alloc(n); }
void operator delete(void *p) noexcept { counted_free(p); }
void operator delete[](void *p) noexcept { counted_free(p); }
void operator delete(void *p, size_t) noexcept { counted_free(p); }
void operator delete[](void *p, size_t) noexcept { counted_free(p); }

namespace {

// --- rule sets -------------------------------------------------------------------

// A country-free rule set of n rules, every third one dropping, with distinct
// values, and the restore file the library writes for it.
struct RuleSet {
    std::string json;
    std::string restore;
};

RuleSet make_rules(int n)
{
    RuleSet set;
    set.json = "[";
    set.restore = "*filter\n:ZORVANE - [0:0]\n";
    for (int i = 0; i < n; ++i) {
        const bool allow = i % 3 != 2;
        const std::string net = "10." + std::to_string(i / 250 % 250) + "." + std::to_string(i % 250) + ".0/24";
        const std::string port = std::to_string(1000 + i % 60000);
        std::string line;
        if (i % 2 == 0) {
            set.json += "{\"interface\":\"eth" + std::to_string(i % 4) + "\",\"src_IP_cidr\":\"" + net +
                        "\",\"protocol\":\"tcp\",\"dports_list\":[\"" + port + "\",\"22\"],";
            line = "-A ZORVANE -i eth" + std::to_string(i % 4) + " -s " + net + " -p tcp -m multiport --dports " +
                   port + ",22";
        } else {
            set.json += "{\"src_IP_range\":\"10.9.0.1-10.9.0." + std::to_string(2 + i % 250) +
                        "\",\"protocol\":\"udp\",";
            line = "-A ZORVANE ! -i lo -m iprange --src-range 10.9.0.1-10.9.0." + std::to_string(2 + i % 250) +
                   " -p udp";
        }
        set.json += std::string("\"allow\":") + (allow ? "true" : "false") + "}";
        if (i + 1 < n)
            set.json += ",";
        if (allow) {
            set.restore += line + " -j ACCEPT\n";
        } else {
            set.restore += line + " -j NFLOG --nflog-prefix  \"RULE=" + std::to_string(i + 1) + " ACT=DROP\"\n";
            set.restore += line + " -j DROP\n";
        }
    }
    set.json += "]";
    set.restore += "COMMIT\n";
    return set;
}

// Rules of both families: an IPv4 network, an IPv6 network, or no source
// (both chains) in turn, every third dropping; the two restore files.
struct MixedRuleSet {
    std::string json;
    std::string restore4, restore6;
};

MixedRuleSet make_mixed_rules(int n)
{
    MixedRuleSet set;
    set.json = "[";
    set.restore4 = set.restore6 = "*filter\n:ZORVANE - [0:0]\n";
    char hex[32];
    for (int i = 0; i < n; ++i) {
        const bool allow = i % 3 != 2;
        const std::string port = std::to_string(1000 + i % 60000);
        const std::string iface = "eth" + std::to_string(i % 4);
        std::string source, match;
        if (i % 3 == 0) {
            source = "10." + std::to_string(i / 250 % 250) + "." + std::to_string(i % 250) + ".0/24";
        } else if (i % 3 == 1) {
            std::snprintf(hex, sizeof hex, "2001:db8:%x:%x::/64", i / 4096, i % 4096);
            source = hex;
        }
        set.json += "{\"interface\":\"" + iface + "\",";
        if (!source.empty())
            set.json += "\"src_IP_cidr\":\"" + source + "\",";
        set.json += "\"protocol\":\"tcp\",\"dports_list\":[\"" + port + "\"],\"allow\":" + (allow ? "true" : "false") + "}";
        if (i + 1 < n)
            set.json += ",";
        const std::string line = "-A ZORVANE -i " + iface + (source.empty() ? "" : " -s " + source) +
                                 " -p tcp -m multiport --dports " + port;
        std::string lines = allow ? line + " -j ACCEPT\n"
                                  : line + " -j NFLOG --nflog-prefix  \"RULE=" + std::to_string(i + 1) + " ACT=DROP\"\n" +
                                        line + " -j DROP\n";
        if (i % 3 != 1)
            set.restore4 += lines;
        if (i % 3 != 0)
            set.restore6 += lines;
    }
    set.json += "]";
    set.restore4 += "COMMIT\n";
    set.restore6 += "COMMIT\n";
    return set;
}

// --- measuring -----------------------------------------------------------------------

double time_ms(const std::function<void()> &work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string backend;

void row(const char *section, int rules, const char *metric, double value)
{
    std::printf("%s,%s,%d,%s,%.6g\n", section, backend.c_str(), rules, metric, value);
    std::fflush(stdout);
}

int run(const std::string &cmd)
{
    return std::system(cmd.c_str());
}

std::string capture(const std::string &cmd)
{
    std::string out;
    FILE *pipe = popen(cmd.c_str(), "r");
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

void check(bool ok, const std::string &what)
{
    if (!ok) {
        std::fprintf(stderr, "zvn_bench: %s\n", what.c_str());
        std::exit(1);
    }
}

int repetitions(int rules)
{
    return rules >= 5000 ? 15 : 31;
}

// What interleaved() measures and how its rows are named.
struct Pair {
    const char *measured, *against, *ratio;  // the rows' metrics
    int repetitions;
};

// One against the other, in turns so that a slow phase of the machine
// weighs on both: their medians and the ratio. By default the library
// against the bare tools.
void interleaved(const char *section, int n, const std::function<void()> &measured,
                 const std::function<void()> &against, Pair names = {"library_ms", "bare_tools_ms", "ratio", 0})
{
    std::vector<double> measured_ms, against_ms;
    const int reps = names.repetitions > 0 ? names.repetitions : repetitions(n);
    for (int r = 0; r < reps; ++r) {
        if (r % 2) {
            measured_ms.push_back(time_ms(measured));
            against_ms.push_back(time_ms(against));
        } else {
            against_ms.push_back(time_ms(against));
            measured_ms.push_back(time_ms(measured));
        }
    }
    row(section, n, names.measured, median(measured_ms));
    row(section, n, names.against, median(against_ms));
    row(section, n, names.ratio, median(measured_ms) / median(against_ms));
}

// --- 1. apply: library against the bare tools -------------------------------------------

// What an apply does, done by the bare tools on a restore file: the test
// run, the install, the drop log emptied.
void bare_apply(const std::string &file)
{
    check(run("/sbin/iptables-restore --test " + file + " 1>&2") == 0, "bare test run failed");
    check(run("/sbin/iptables-restore -n " + file + " 1>&2") == 0, "bare install failed");
    run("echo -n > /var/log/ulogd_syslogemu.log 1>&2");
}

void bench_apply(int n)
{
    const RuleSet set = make_rules(n);
    const std::string file = "/var/tmp/zvn_bench_restore.tmp";
    std::ofstream(file) << set.restore;
    auto bare = [&] { bare_apply(file); };
    auto library = [&] { check(zvn_apply_rules_json(set.json.c_str()) == 0, "library apply failed"); };

    // The same file: both sides leave the same chain.
    library();
    const std::string by_library = capture("/sbin/iptables -S ZORVANE");
    bare();
    check(capture("/sbin/iptables -S ZORVANE") == by_library, "library and bare chains differ");

    interleaved("apply", n, library, bare);
    std::remove(file.c_str());
}

// --- 2. the library's own cost -----------------------------------------------------------------

void bench_own(int n)
{
    const RuleSet set = make_rules(n);
    std::vector<double> parse_ms, lib_ms, start_ms;
    size_t parsed_bytes = 0, apply_peak = 0;
    // The three commands of an apply, each started through the shell: what
    // the library cannot avoid even with tools that do nothing.
    auto start_commands = [] {
        run("/sbin/iptables-restore --test /dev/null 1>&2");
        run("/sbin/iptables-restore -n /dev/null 1>&2");
        run("echo -n > /var/log/ulogd_syslogemu.log 1>&2");
    };
    for (int r = 0; r < repetitions(n); ++r) {
        start_ms.push_back(time_ms(start_commands));
        const size_t before = heap_now;
        heap_peak = before;
        parse_ms.push_back(time_ms([&] {
            const auto value = nlohmann::json::parse(set.json, nullptr, false);
            parsed_bytes = heap_now - before;
        }));
        heap_peak = heap_now.load();
        const size_t base = heap_now;
        lib_ms.push_back(time_ms([&] { check(zvn_apply_rules_json(set.json.c_str()) == 0, "apply failed"); }));
        apply_peak = heap_peak - base;
    }
    row("own", n, "parse_ms", median(parse_ms));
    row("own", n, "library_ms", median(lib_ms));
    row("own", n, "time_ratio", median(lib_ms) / median(parse_ms));
    row("own", n, "command_start_ms", median(start_ms));
    row("own", n, "compute_ratio", (median(lib_ms) - median(start_ms)) / median(parse_ms));
    row("own", n, "text_bytes", static_cast<double>(set.json.size()));
    row("own", n, "parsed_value_bytes", static_cast<double>(parsed_bytes));
    row("own", n, "library_peak_bytes", static_cast<double>(apply_peak));
    row("own", n, "memory_ratio", static_cast<double>(apply_peak) / static_cast<double>(parsed_bytes + set.json.size()));
}

// --- 3. counts --------------------------------------------------------------------------------

void bench_counts(int n)
{
    const RuleSet set = make_rules(n);
    check(zvn_apply_rules_json(set.json.c_str()) == 0, "apply failed");
    std::vector<char> buffer(static_cast<size_t>(n) * 24 + 16);
    // The per-rule read takes seconds at a thousand rules: a few of those;
    // the rest, which take milliseconds, often enough for a steady median.
    const int reps = 21;
    const int per_rule_reps = n >= 1000 ? 3 : 7;
    std::vector<double> per_rule, snapshot, listing, single, test_run;
    const std::string file = "/var/tmp/zvn_bench_restore.tmp";
    std::ofstream(file) << set.restore;
    for (int r = 0; r < reps; ++r) {
        if (n <= 1000 && r < per_rule_reps)
            per_rule.push_back(time_ms([&] {
                check(zvn_get_rule_count_json(set.json.c_str(), buffer.data(), buffer.size()) == 0, "counts failed");
            }));
        snapshot.push_back(time_ms([&] {
            check(zvn_get_rule_count_snapshot_json(set.json.c_str(), buffer.data(), buffer.size()) == 0,
                  "snapshot failed");
        }));
        listing.push_back(time_ms([&] { capture("/sbin/iptables -vnx -L ZORVANE --line-numbers"); }));
        single.push_back(time_ms([&] { capture("/sbin/iptables -vn -L ZORVANE 1 --exact"); }));
        test_run.push_back(time_ms([&] { run("/sbin/iptables-restore --test " + file + " 1>&2"); }));
    }
    if (!per_rule.empty()) {
        row("counts", n, "per_rule_op_ms", median(per_rule));
        row("counts", n, "per_rule_op_ms_per_rule", median(per_rule) / n);
        row("counts", n, "per_rule_over_snapshot", median(per_rule) / median(snapshot));
    }
    row("counts", n, "snapshot_op_ms", median(snapshot));
    row("counts", n, "full_listing_ms", median(listing));
    row("counts", n, "single_rule_listing_ms", median(single));
    row("counts", n, "restore_test_ms", median(test_run));
    row("counts", n, "snapshot_over_listing", median(snapshot) / median(listing));
    std::remove(file.c_str());
}

// --- 4. the check against the test run ------------------------------------------------------

void bench_check(int n)
{
    const RuleSet set = make_rules(n);
    const std::string file = "/var/tmp/zvn_bench_restore.tmp";
    std::ofstream(file) << set.restore;
    std::vector<char> findings(static_cast<size_t>(n) * 400 + 4096);
    std::vector<double> check_ms, test_ms;
    size_t peak = 0;
    const bool with_tool = n <= 20000;
    for (int r = 0; r < (n >= 50000 ? 3 : 11); ++r) {
        heap_peak = heap_now.load();
        const size_t base = heap_now;
        check_ms.push_back(time_ms([&] {
            check(zvn_check_rules_json(set.json.c_str(), findings.data(), findings.size()) >= 0, "check failed");
        }));
        peak = heap_peak - base;
        if (with_tool)
            test_ms.push_back(time_ms([&] { check(run("/sbin/iptables-restore --test " + file + " 1>&2") == 0, "test failed"); }));
    }
    row("check", n, "check_ms", median(check_ms));
    row("check", n, "check_peak_bytes", static_cast<double>(peak));
    row("check", n, "check_peak_bytes_per_rule", static_cast<double>(peak) / n);
    if (with_tool) {
        row("check", n, "restore_test_ms", median(test_ms));
        row("check", n, "check_over_test", median(check_ms) / median(test_ms));
    }
    std::remove(file.c_str());
}

// --- 5. both families: the library against the bare tools ------------------------------------

void bench_apply6(int n)
{
    const MixedRuleSet set = make_mixed_rules(n);
    const std::string file4 = "/var/tmp/zvn_bench_restore4.tmp", file6 = "/var/tmp/zvn_bench_restore6.tmp";
    std::ofstream(file4) << set.restore4;
    std::ofstream(file6) << set.restore6;
    auto bare = [&] {
        check(run("/sbin/iptables-restore --test " + file4 + " 1>&2") == 0, "bare IPv4 test run failed");
        check(run("/sbin/ip6tables-restore --test " + file6 + " 1>&2") == 0, "bare IPv6 test run failed");
        check(run("/sbin/iptables-restore -n " + file4 + " 1>&2") == 0, "bare IPv4 install failed");
        check(run("/sbin/ip6tables-restore -n " + file6 + " 1>&2") == 0, "bare IPv6 install failed");
        run("echo -n > /var/log/ulogd_syslogemu.log 1>&2");
    };
    auto library = [&] { check(zvn_apply_rules_json(set.json.c_str()) == 0, "library apply failed"); };

    library();
    const std::string by_library = capture("/sbin/iptables -S ZORVANE") + capture("/sbin/ip6tables -S ZORVANE");
    bare();
    check(capture("/sbin/iptables -S ZORVANE") + capture("/sbin/ip6tables -S ZORVANE") == by_library,
          "library and bare chains differ");

    interleaved("apply6", n, library, bare);
    std::remove(file4.c_str());
    std::remove(file6.c_str());
}

// --- 6. layouts: the indexed apply against the flat one; the line budget ----------------------

std::string address_text(std::uint32_t a)
{
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
           std::to_string(a & 255);
}

// A block list: n random unicast addresses, each dropped, then allow-all.
std::string block_list(int n)
{
    std::mt19937 rng(1);
    std::string json = "[";
    for (int i = 0; i < n; ++i) {
        std::uint32_t a;
        do
            a = static_cast<std::uint32_t>(rng());
        while ((a >> 24) == 0 || (a >> 24) == 10 || (a >> 24) == 127 || (a >> 24) >= 224);
        json += "{\"src_IP_cidr\":\"" + address_text(a) + "\",\"allow\":false},";
    }
    return json + "{\"allow\":true}]";
}

// A hostile mix: overlapping networks from /8 to /24, ranges, and rules
// without a source (catch-alls for a protocol or port) among them.
std::string hostile_mix(int n)
{
    std::mt19937 rng(2);
    std::string json = "[";
    for (int i = 0; i < n; ++i) {
        const std::uint32_t a = static_cast<std::uint32_t>(rng());
        const int length = 8 + static_cast<int>(rng() % 17);
        const std::uint32_t net = a & (~0u << (32 - length));
        const char *verdict = rng() % 2 ? "true" : "false";
        switch (rng() % 6) {
        case 0: case 1: case 2:
            json += "{\"src_IP_cidr\":\"" + address_text(net) + "/" + std::to_string(length) + "\",\"allow\":" + verdict + "},";
            break;
        case 3:
            json += "{\"src_IP_range\":\"" + address_text(a & 0xff000000u) + "-" +
                    address_text((a & 0xff000000u) + (static_cast<std::uint32_t>(rng()) & 0x3ffffff)) + "\",\"allow\":false},";
            break;
        case 4:
            json += "{\"protocol\":\"tcp\",\"dports_list\":[\"" + std::to_string(1 + rng() % 65535) + "\"],\"allow\":false},";
            break;
        default:
            json += "{\"src_IP_cidr\":\"" + address_text(a) + "\",\"allow\":" + verdict + "},";
        }
    }
    return json + "{\"allow\":true}]";
}

nlohmann::json describe(const std::string &rules)
{
    std::vector<char> buffer(4096);
    check(zvn_describe_layout_json(rules.c_str(), buffer.data(), buffer.size()) == 0, "describe failed");
    return nlohmann::json::parse(buffer.data())["ipv4"];
}

void layout_rows(const char *section, int n, const nlohmann::json &layout)
{
    row(section, n, "indexed", layout["layout"] == "indexed" ? 1 : 0);
    row(section, n, "chains", layout["chains"].get<double>());
    row(section, n, "lines", layout["lines"].get<double>());
    row(section, n, "lines_over_flat", layout["lines"].get<double>() / layout["flat_lines"].get<double>());
    row(section, n, "deepest_walk", layout["deepest_walk"].get<double>());
    row(section, n, "walk_over_flat", layout["deepest_walk"].get<double>() / layout["flat_walk"].get<double>());
}

// The flat apply is the bare tools on the flat restore file (what
// zvn_apply_rules_json costs without a layout chosen); the indexed one the
// library with the indexed layout chosen. In turns, as above.
void bench_layout(int n)
{
    const std::string rules = block_list(n);
    const std::string file = "/var/tmp/zvn_bench_flat.tmp";
    {
        const int length = zvn_restore_text_json(rules.c_str(), nullptr, 0);
        std::vector<char> flat(static_cast<std::size_t>(length) + 1);
        zvn_restore_text_json(rules.c_str(), flat.data(), flat.size());
        std::ofstream(file) << flat.data();
    }
    check(zvn_set_layout(ZVN_LAYOUT_INDEXED) == 0, "layout not chosen");
    auto flat = [&] { bare_apply(file); };
    auto indexed = [&] { check(zvn_apply_rules_json(rules.c_str()) == 0, "indexed apply failed"); };
    indexed();
    interleaved("layout", n, indexed, flat,
                {"indexed_apply_ms", "flat_apply_ms", "apply_ratio", n >= 50000 ? 5 : 9});
    layout_rows("layout", n, describe(rules));
    layout_rows("hostile", n, describe(hostile_mix(n)));
    std::remove(file.c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    const char *mode = std::getenv("ZVN_SANDBOX");
    if (mode == nullptr || argc < 3) {
        std::fprintf(stderr, "usage (inside tests/sandbox/sandbox.sh): %s apply|own|counts|check|apply6|layout SIZES...\n",
                     argv[0]);
        return 2;
    }
    backend = mode;
    const std::string what = argv[1];
    if (what == "own") {
        // Tools that return at once: only the library's own work is left.
        for (const char *tool : {"iptables", "iptables-restore"})
            run(std::string("rm -f /usr/sbin/") + tool + " && ln -s /bin/true /usr/sbin/" + tool);
        backend = "instant";
    } else {
        run("/usr/sbin/firewall.sh prepare && /sbin/iptables -N ZORVANE 2>/dev/null;"
            "/sbin/iptables -A INPUT -m state --state NEW -j ZORVANE");
    }
    if (what == "apply6") {
        zvn_enable_ipv6();
        run("/sbin/ip6tables -N ZORVANE 2>/dev/null; /sbin/ip6tables -A INPUT -m state --state NEW -j ZORVANE");
    }
    for (int i = 2; i < argc; ++i) {
        const int n = std::atoi(argv[i]);
        if (what == "apply")
            bench_apply(n);
        else if (what == "own")
            bench_own(n);
        else if (what == "counts")
            bench_counts(n);
        else if (what == "check")
            bench_check(n);
        else if (what == "apply6")
            bench_apply6(n);
        else if (what == "layout")
            bench_layout(n);
    }
    return 0;
}
