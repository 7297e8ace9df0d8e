// libzorvane: validates a rule set, translates it into iptables-restore lines
// of the chain ZORVANE, tests and installs them, and reads their counters.

#include "libzorvane.h"
#include "zorvane_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

// ---------------------------------------------------------------------------
// Log stream
// ---------------------------------------------------------------------------

// A stream without a buffer is bad from the start: whatever is inserted into
// it is discarded, so the library stays silent until enable_log().
std::ostream defaultLog(nullptr);
std::reference_wrapper<std::ostream> Log_impl = std::ref(defaultLog);

namespace zvn {

// ---------------------------------------------------------------------------
// Command runners
// ---------------------------------------------------------------------------

// Runs a command for its status only. Its standard output goes to standard
// error so that the caller's standard output never carries anything of ours.
int do_system_call(std::string cmd)
{
    const std::string tmp_str = cmd + " 1>&2";
    log_record("$ ", tmp_str);
    const int ret_code = std::system(tmp_str.c_str());
    log_record("$ ", tmp_str, " --> ret=", ret_code);
    return ret_code;
}

// Runs a command and captures its standard output (one trailing line feed
// removed). Returns the raw pclose() status, or -1 when popen() fails.
int exec(const std::string cmd, std::string &stdout_str)
{
    log_record("popen --> ", cmd);
    FILE *pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) {
        log_record("popen() failed!");
        return -1;
    }
    char buffer[512];
    std::string result;
    while (!feof(pipe)) {
        if (fgets(buffer, sizeof buffer, pipe) != nullptr)
            result += buffer;
        else if (ferror(pipe))
            break;  // a read error ends the output; pclose() decides the status
    }
    const int rc = pclose(pipe);
    if (!result.empty() && result.back() == '\n')
        result.pop_back();
    stdout_str = result;
    log_record("popen --> ", cmd, " --> ret=", rc);
    return rc;
}

bool write_all(int fd, const std::string &text)
{
    const char *next = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = write(fd, next, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

namespace {

const char *file_kind(mode_t mode)
{
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISSOCK(mode))
        return "a socket";
    return "a device";
}

// Empties the drop log as "echo -n > FILE" would, but only a regular file:
// the path is looked at without following links and opened without
// blocking, so that a link planted there cannot redirect the truncation and
// a FIFO cannot stall the call (and the lock it holds). Anything else at the
// path is left alone with a record. The records read as the shell
// command's, with the status the shell would give (512: it could not open
// the path).
int clear_log_history()
{
    const std::string tmp_str = command("echo -n > ", drop_log, " 1>&2");
    log_record("$ ", tmp_str);
    int ret_code = 0;
    struct stat seen {};
    const bool present = lstat(drop_log, &seen) == 0;
    if (!present && errno != ENOENT) {
        ret_code = 512;
    } else if (present && !S_ISREG(seen.st_mode)) {
        log_record("the drop log ", drop_log, " is not a regular file (", file_kind(seen.st_mode),
                   "): it was left alone");
        ret_code = 512;
    } else {
        const int fd = open(drop_log, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        struct stat opened {};
        if (fd < 0 || fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || ftruncate(fd, 0) != 0)
            ret_code = 512;
        if (fd >= 0)
            close(fd);
    }
    log_record("$ ", tmp_str, " --> ret=", ret_code);
    return ret_code;
}

}  // namespace

// ---------------------------------------------------------------------------
// Rule-set validation
// ---------------------------------------------------------------------------

bool parse_rules(const char *rules, nlohmann::json &rules_json)
{
    rules_json = nlohmann::json::parse(rules, rules + std::strlen(rules), nullptr, false);
    if (rules_json.is_discarded()) {
        log_record("json parse fail");
        return false;
    }
    return true;
}

namespace {

// A control character in a value would end the rule's line in the restore
// file (a line feed starts a line of the client's choosing, a NUL cuts the
// line short), so no value copied into the file may hold one.
bool has_control_character(const std::string &value)
{
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            return true;
    }
    return false;
}

// Checks a list key: an array whose elements are non-empty strings without
// control characters. Returns the message of the first fault, or "".
std::string list_fault(const std::string &key, const nlohmann::json &list)
{
    if (!list.is_array())
        return "\"" + key + "\" is not an array";
    for (const auto &element : list) {
        if (!element.is_string())
            return "\"" + key + "\" element is not a string";
        const auto &text = element.get_ref<const std::string &>();
        if (text.empty())
            return "\"" + key + "\" element is an empty string";
        if (has_control_character(text))
            return "\"" + key + "\" element contains a control character";
    }
    return "";
}

// Checks one key/value pair of a rule object. Returns the message of its
// fault, or "".
std::string property_fault(const std::string &key, const nlohmann::json &value)
{
    // The keys in their usual order of frequency: most comparisons stop at
    // the first or second.
    if (key == "allow")
        return "";
    if (key == "interface" || key == "src_IP_cidr" || key == "src_IP_range") {
        if (value.is_string() && has_control_character(value.get_ref<const std::string &>()))
            return "\"" + key + "\" contains a control character";
        return "";
    }
    if (key == "src_country" || key == "dports_list")
        return list_fault(key, value);
    if (key == "protocol") {
        if (!value.is_string())
            return "";
        const auto &protocol = value.get_ref<const std::string &>();
        if (protocol.empty() || protocol == "tcp" || protocol == "udp" || protocol == "icmp")
            return "";
        return "\"protocol\" only support tcp/udp/icmp";
    }
    return "unknown key: \"" + key + "\"";
}

// The dump of a refused rule set recurses once per level of nesting; a rule
// set nested deeper than any real one (they need three levels) would
// overflow the stack there, so such a dump is replaced by a note.
constexpr std::size_t max_dumped_nesting = 512;

bool nesting_within_bound(const nlohmann::json &root)
{
    std::vector<std::pair<const nlohmann::json *, std::size_t>> pending{{&root, 1}};
    while (!pending.empty()) {
        const auto [value, depth] = pending.back();
        pending.pop_back();
        if (!value->is_structured())
            continue;
        if (depth > max_dumped_nesting)
            return false;
        for (const auto &child : *value)
            pending.emplace_back(&child, depth + 1);
    }
    return true;
}

}  // namespace

std::optional<Fault> first_fault(const nlohmann::json &rules)
{
    if (!rules.is_array())
        return Fault{0, "", "input rules is not an array!"};
    std::size_t rule = 0;
    for (const auto &single_rule : rules) {
        ++rule;
        if (!single_rule.is_object())
            return Fault{rule, "", "element is not an object"};
        const auto allow = single_rule.find("allow");
        if (allow == single_rule.end())
            return Fault{rule, "allow", "\"allow\" missing"};
        if (!allow->is_boolean())
            return Fault{rule, "allow", "\"allow\" is not a boolean"};
        for (const auto &rule_property : single_rule.items()) {
            std::string message = property_fault(rule_property.key(), rule_property.value());
            if (!message.empty())
                return Fault{rule, rule_property.key(), std::move(message)};
        }
    }
    return std::nullopt;
}

namespace {

// The first fault of the rule set in the documented order of checks, one
// message with a dump of the whole rule set; true when there is none.
bool is_rules_format_valid(const nlohmann::json &rules)
{
    const auto fault = first_fault(rules);
    if (!fault)
        return true;
    log_record(fault->message);
    log_record("Dump:");
    if (nesting_within_bound(rules))
        log_record(rules.dump(1));
    else
        log_record("(not dumped: nested deeper than ", max_dumped_nesting, " levels)");
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Rule translation
// ---------------------------------------------------------------------------

const std::string *set_string(const nlohmann::json &rule, const char *key)
{
    const auto it = rule.find(key);
    if (it == rule.end() || !it->is_string())
        return nullptr;
    const auto &text = it->get_ref<const std::string &>();
    return text.empty() ? nullptr : &text;
}

const nlohmann::json *set_list(const nlohmann::json &rule, const char *key)
{
    const auto it = rule.find(key);
    if (it == rule.end() || !it->is_array() || it->empty())
        return nullptr;
    return &*it;
}

SourceKind used_source(const nlohmann::json &rule)
{
    if (set_string(rule, "src_IP_cidr"))
        return SourceKind::address;
    if (set_string(rule, "src_IP_range"))
        return SourceKind::range;
    if (set_list(rule, "src_country"))
        return SourceKind::countries;
    return SourceKind::none;
}

std::vector<std::string> split_commas(const std::string &text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            return parts;
        start = comma + 1;
    }
}

// The tool installs "-s a,b" as one line per address, in place of the one
// line of the restore file.
std::size_t lines_per_target(const nlohmann::json &rule)
{
    if (const auto *cidr = set_string(rule, "src_IP_cidr"))
        return static_cast<std::size_t>(std::count(cidr->begin(), cidr->end(), ',')) + 1;
    return 1;
}

namespace {

// Appends the list's strings joined by commas; false if one is not a string.
bool append_joined(std::string &cmd, const nlohmann::json &list)
{
    bool first = true;
    for (const auto &element : list) {
        if (!element.is_string())
            return false;
        if (!first)
            cmd += ',';
        cmd += element.get_ref<const std::string &>();
        first = false;
    }
    return true;
}

// The tool reads a port number with a leading zero as octal ("010" is port
// 8), so every number of a port or a:b range is passed without its leading
// zeros: the tool then reads the port that was written. Anything that is
// not digits passes unchanged, for the test run to judge.
void append_port(std::string &cmd, const std::string &port)
{
    std::size_t start = 0;
    while (start <= port.size()) {
        std::size_t end = port.find(':', start);
        if (end == std::string::npos)
            end = port.size();
        std::size_t first = start;
        const bool digits = end > start && std::all_of(port.begin() + static_cast<std::ptrdiff_t>(start),
                                                       port.begin() + static_cast<std::ptrdiff_t>(end),
                                                       [](char c) { return c >= '0' && c <= '9'; });
        while (digits && first + 1 < end && port[first] == '0')
            ++first;
        cmd.append(port, first, end - first);
        if (end == port.size())
            return;
        cmd += ':';
        start = end + 1;
    }
}

bool append_ports(std::string &cmd, const nlohmann::json &list)
{
    bool first = true;
    for (const auto &element : list) {
        if (!element.is_string())
            return false;
        if (!first)
            cmd += ',';
        append_port(cmd, element.get_ref<const std::string &>());
        first = false;
    }
    return true;
}

// Appends the one or two lines of a rule object to the restore text of one
// family: an allowing rule gives its ACCEPT line, a dropping rule its NFLOG
// line, then its DROP line. Validated rule objects always translate;
// anything else is refused (false) and nothing is appended.
bool translate_rule(const nlohmann::json &single_rule, std::string &restore_file, unsigned int rule_index,
                    const Family &family)
{
    if (!single_rule.is_object())
        return false;
    const auto allow_it = single_rule.find("allow");
    if (allow_it == single_rule.end() || !allow_it->is_boolean())
        return false;

    // The match options are written once, at the end of the file; a dropping
    // rule repeats them for its second line.
    const std::size_t line_start = restore_file.size();
    restore_file += "-A ";
    restore_file += chain_name;

    if (const auto *interface = set_string(single_rule, "interface")) {
        restore_file += " -i ";
        restore_file += *interface;
    } else {
        restore_file += " ! -i lo";
    }

    bool translated = true;
    if (const auto *cidr = set_string(single_rule, "src_IP_cidr")) {
        restore_file += " -s ";
        restore_file += *cidr;
    } else if (const auto *range = set_string(single_rule, "src_IP_range")) {
        restore_file += " -m iprange --src-range ";
        restore_file += *range;
    } else if (const auto *countries = set_list(single_rule, "src_country")) {
        restore_file += " -m geoip --source-country ";
        translated = append_joined(restore_file, *countries);
    }

    if (const auto *protocol = set_string(single_rule, "protocol")) {
        restore_file += " -p ";
        restore_file += *protocol == "icmp" ? family.icmp : protocol->c_str();
    }

    if (const auto *ports = set_list(single_rule, "dports_list")) {
        restore_file += " -m multiport --dports ";
        translated = translated && append_ports(restore_file, *ports);
    }

    if (!translated) {
        restore_file.resize(line_start);
        return false;
    }
    if (allow_it->get<bool>()) {
        restore_file += " -j ACCEPT\n";
        return true;
    }
    const std::size_t matches_length = restore_file.size() - line_start;
    restore_file += " -j NFLOG --nflog-prefix  \"RULE=";
    restore_file += std::to_string(rule_index);
    restore_file += " ACT=DROP\"\n";
    restore_file.append(restore_file, line_start, matches_length);
    restore_file += " -j DROP\n";
    return true;
}

bool zvn_apply_rule(const nlohmann::json &single_rule, std::string &restore_file, unsigned int rule_index)
{
    return translate_rule(single_rule, restore_file, rule_index, ipv4);
}

// ---------------------------------------------------------------------------
// Restore file
// ---------------------------------------------------------------------------

}  // namespace

// With IPv6 off every rule goes to the IPv4 chain.
bool restore_text(const nlohmann::json &rules_json, unsigned int rule_index_start, std::string &text,
                  const Family &family)
{
    // About one line and a half per rule on average: one allocation up front
    // instead of a series of doublings.
    text.clear();
    text.reserve(rules_json.size() * 128 + 64);
    text = "*filter\n:";
    text += chain_name;
    text += " - [0:0]\n";
    unsigned int rule_index = rule_index_start;
    for (const auto &single_rule : rules_json) {
        const bool translated = !rule_in_family(single_rule, family) ||
                                (family.bit == ipv4.bit ? zvn_apply_rule(single_rule, text, rule_index)
                                                        : translate_rule(single_rule, text, rule_index, family));
        if (!translated) {
            log_record("rule ", rule_index, " cannot be translated");
            return false;
        }
        if (rule_index_start != 0)
            ++rule_index;
    }
    text += "COMMIT\n";
    return true;
}

namespace {

std::string fresh_restore_filename(const Family &family)
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const long nanoseconds =
        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
    return family.file_prefix + std::to_string(nanoseconds) + ".tmp";
}

}  // namespace

// Writes the restore text to a new file in /tmp. The file is created
// exclusively and without following links, so that a name planted in the
// world-writable /tmp can neither redirect nor pre-fill it; it is private to
// root. On any failure the partial file is removed and false returned.
bool write_restore_file(const std::string &text, std::string &restore_filename, const Family &family)
{
    constexpr int attempts = 100;
    int fd = -1;
    for (int attempt = 0; attempt < attempts && fd < 0; ++attempt) {
        restore_filename = fresh_restore_filename(family);
        fd = open(restore_filename.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        log_record("cannot create restore file ", restore_filename, ": ", std::strerror(errno));
        return false;
    }
    log_record("using restore_filename: ", restore_filename);
    const bool written = write_all(fd, text);
    const int write_errno = errno;
    const bool closed = close(fd) == 0;
    if (!written || !closed) {
        log_record("cannot write restore file ", restore_filename, ": ",
                   std::strerror(written ? errno : write_errno));
        std::remove(restore_filename.c_str());
        return false;
    }
    return true;
}

bool parse_and_validate(const char *rules, nlohmann::json &rules_json)
{
    return parse_rules(rules, rules_json) && is_rules_format_valid(rules_json);
}

// The restore file of each active family: one with IPv6 off, the IPv4 file
// then the IPv6 file with it on. Leaves their names behind on success; a
// failure removes what was written.
bool write_restore_files(const nlohmann::json &rules_json, unsigned int rule_index_start,
                         std::vector<std::string> &restore_filenames)
{
    restore_filenames.clear();
    for (const Family *family : active_families()) {
        std::string text, restore_filename;
        if (!restore_text(rules_json, rule_index_start, text, *family) ||
            !write_restore_file(text, restore_filename, *family)) {
            for (const auto &written : restore_filenames)
                std::remove(written.c_str());
            return false;
        }
        restore_filenames.push_back(restore_filename);
    }
    return true;
}

int test_restore_file(const std::string &restore_filename, const Family &family)
{
    return do_system_call(command(family.restore_tool, " --test ", restore_filename));
}

// Tests each active family's file; with both families on, the two test
// runs go on side by side (neither changes anything, and a host has more
// than one core). The first failing status in family order, its file kept
// for a look and the other family's removed; or 0.
int test_restore_files(const std::vector<std::string> &restore_filenames)
{
    const auto families = active_families();
    std::vector<int> statuses;
    if (families.size() == 1) {
        statuses.push_back(test_restore_file(restore_filenames[0], *families[0]));
    } else {
        std::vector<std::string> test_runs;
        for (std::size_t f = 0; f < families.size(); ++f)
            test_runs.push_back(command(families[f]->restore_tool, " --test ", restore_filenames[f]));
        statuses = run_side_by_side(test_runs);
    }
    for (std::size_t f = 0; f < families.size(); ++f) {
        if (statuses[f] != 0) {
            for (std::size_t other = 0; other < families.size(); ++other)
                if (other != f)
                    std::remove(restore_filenames[other].c_str());
            return statuses[f];
        }
    }
    return 0;
}

int install_restore_file(const std::string &restore_filename, const Family &family)
{
    return do_system_call(command(family.restore_tool, " -n ", restore_filename));
}

// ---------------------------------------------------------------------------
// Two families at once
// ---------------------------------------------------------------------------

// The IPv4 chain's lines as "iptables -S ZORVANE" prints them, listed
// while the rule set is read and tested (the listing costs more than a test
// run, and a host has more than one core): should the IPv6 install fail,
// they go back in one commit. The listing is kept in an anonymous file,
// never under a name in /tmp.
ChainKeeper::ChainKeeper(const Family &family)
    : family_(family), cmd_(command(family.tool, " -S ", chain_name)),
      listing_(std::vector<std::string>{family.tool, "-S", chain_name}, 1)
{
    log_record("$ ", cmd_);
}

ChainKeeper::~ChainKeeper()
{
    finish();
}

int ChainKeeper::finish()
{
    if (!finished_)
        log_record("$ ", cmd_, " --> ret=", listing_.wait());
    finished_ = true;
    return listing_.wait();
}

std::string ChainKeeper::rule_lines()
{
    std::string lines;
    if (finish() != 0)
        return lines;
    std::istringstream listing(listing_.kept());
    const std::string append = std::string("-A ") + chain_name + " ";
    std::string line;
    while (std::getline(listing, line))
        if (line.rfind(append, 0) == 0)
            lines += line + "\n";
    return lines;
}

int ChainKeeper::put_back()
{
    if (finish() != 0) {
        log_record("the ", family_.name, " chain was not listed before the change; it keeps the new rules");
        return -1;
    }
    const std::string text = command("*filter\n:", chain_name, " - [0:0]\n", rule_lines(), "COMMIT\n");
    std::string restore_filename;
    if (!write_restore_file(text, restore_filename, family_))
        return -1;
    const int ret = install_restore_file(restore_filename, family_);
    if (ret == 0)
        std::remove(restore_filename.c_str());
    return ret;
}

namespace {

// A listing started now and read later, so that the tool (on the machine's
// other core) and the library's own work on the rule set overlap. Logged
// like the capturing runner: "popen --> CMD" at the start, "popen --> CMD
// --> ret=N" once it is read.
class StartedListing {
public:
    explicit StartedListing(std::string cmd) : cmd_(std::move(cmd))
    {
        log_record("popen --> ", cmd_);
        pipe_ = popen(cmd_.c_str(), "r");
        if (pipe_ == nullptr) {
            log_record("popen() failed!");
            return;
        }
        // Room for the listing of thousands of rules, so that the tool does
        // not stop at a full pipe while the rule set is being read. The
        // default size serves where the kernel refuses.
        fcntl(fileno(pipe_), F_SETPIPE_SZ, listing_pipe_size);
    }
    ~StartedListing() { finish(); }
    StartedListing(const StartedListing &) = delete;
    StartedListing &operator=(const StartedListing &) = delete;

    // Reads the whole output and waits for the tool: its raw status, or -1
    // when it could not start. The parser, if any, takes each piece as it
    // comes, while the tool is still writing.
    int finish(ChainListingParser *parser = nullptr)
    {
        if (pipe_ == nullptr)
            return status_;
        char buffer[65536];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe_)) > 0) {
            output_.append(buffer, n);
            if (parser != nullptr)
                parser->feed(output_);
        }
        status_ = pclose(pipe_);
        pipe_ = nullptr;
        log_record("popen --> ", cmd_, " --> ret=", status_);
        return status_;
    }
    const std::string &output() const { return output_; }

private:
    static constexpr int listing_pipe_size = 1 << 20;
    std::string cmd_, output_;
    FILE *pipe_ = nullptr;
    int status_ = -1;
};

// ---------------------------------------------------------------------------
// Packet counts
// ---------------------------------------------------------------------------

// The check before the per-rule read: the rule set parses, validates and
// its restore file (every drop numbered 0) passes the test run, for each
// family. A file is removed after a passing test and kept after a failing
// one.
bool check_rule_set(const char *rules, nlohmann::json &rules_json)
{
    std::vector<std::string> restore_test_filenames;
    if (!parse_and_validate(rules, rules_json) || !write_restore_files(rules_json, 0, restore_test_filenames) ||
        test_restore_files(restore_test_filenames) != 0)
        return false;
    for (const auto &restore_test_filename : restore_test_filenames)
        std::remove(restore_test_filename.c_str());
    return true;
}

// The positions in one family's chain whose counters make each rule
// object's count (none for a rule of the other family). A rule whose source
// lists k addresses stands in the chain as k lines (allowing) or k logging
// lines then k dropping lines (dropping); the count is the sum of its
// ACCEPT or DROP lines.
std::vector<std::vector<int>> counted_positions(const nlohmann::json &rules_json, const Family &family)
{
    std::vector<std::vector<int>> positions;
    positions.reserve(rules_json.size());
    int rule_query_index = 0;
    for (const auto &single_rule : rules_json) {
        std::vector<int> counted;
        if (rule_in_family(single_rule, family)) {
            const bool allow = single_rule.at("allow").get<bool>();
            const int lines = static_cast<int>(lines_per_target(single_rule));
            if (!allow)
                rule_query_index += lines;  // the logging lines are not counted
            for (int k = 0; k < lines; ++k)
                counted.push_back(++rule_query_index);
        }
        positions.push_back(std::move(counted));
    }
    return positions;
}

// The first blank-delimited token that strtoull converts without a range
// error; false when there is none.
bool first_count_token(const std::string &iptable_cmd_output, unsigned long long &packet_cnt)
{
    std::istringstream iptable_stdout(iptable_cmd_output);
    std::string token;
    while (std::getline(iptable_stdout, token, ' ')) {
        const char *ptoken = token.c_str();
        char *pend = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(ptoken, &pend, 10);
        if (pend == ptoken || errno == ERANGE)
            continue;
        packet_cnt = value;
        return true;
    }
    return false;
}

// Reads one counted line by its own listing. 0 with the count, or the
// status that the first failure gives.
int read_one_line(const Family &family, int rule_query_index, unsigned long long &packet_cnt)
{
    const std::string iptable_cmd =
        command(family.tool, " -vn -L ", chain_name, " ", std::to_string(rule_query_index), " --exact");
    std::string iptable_cmd_output;
    const int tmp_ret = exec(iptable_cmd, iptable_cmd_output);
    if (tmp_ret != 0)
        return tmp_ret;
    if (iptable_cmd_output.empty()) {
        log_record("iptables list stdout is empty");
        return -1;
    }
    if (!first_count_token(iptable_cmd_output, packet_cnt)) {
        log_record("Parsing iptable_stdout error");
        return -1;
    }
    return 0;
}

// Serialises the counts and copies them into the caller's buffer if they
// fit, terminating NUL included.
int report_counts(const nlohmann::json &pktcnt_list, char *pktcnt_list_json, const size_t size_n,
                  int ret)
{
    const std::string pktcnt_list_string = pktcnt_list.dump();
    if (pktcnt_list_string.size() + 1 > size_n) {
        log_record("size_n is too small");
        return -1;
    }
    std::memcpy(pktcnt_list_json, pktcnt_list_string.c_str(), pktcnt_list_string.size() + 1);
    return ret;
}

nlohmann::json all_errors(std::size_t count)
{
    nlohmann::json pktcnt_list = nlohmann::json::array();
    for (std::size_t i = 0; i < count; ++i)
        pktcnt_list.push_back("error");
    return pktcnt_list;
}

// A sum of counters that would pass 2^64 - 1 cannot be told as a number.
bool add_count(unsigned long long &sum, unsigned long long packets)
{
    if (sum > ~0ULL - packets)
        return false;
    sum += packets;
    return true;
}

}  // namespace

}  // namespace zvn

// ---------------------------------------------------------------------------
// Exported interface
// ---------------------------------------------------------------------------

using namespace zvn;

extern "C" {

void enable_log(void)
{
    Log_impl = std::ref(std::cerr);
}

void setup_default_chain(void)
{
    const ChainLock lock;
    if (!lock.locked())
        return;
    do_system_call(command(firewall_script, " prepare"));
    for (const Family *family : active_families()) {
        do_system_call(command(family->tool, " -N ", chain_name));
        do_system_call(command(family->tool, " -D INPUT -m state --state NEW -j ", chain_name));
        do_system_call(command(family->tool, " -A INPUT -m state --state NEW -j ", chain_name));
    }
}

int reset_counter(void)
{
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    int ret = 0;
    for (const Family *family : active_families()) {
        const int status = do_system_call(command(family->tool, " -Z ", chain_name));
        if (ret == 0)
            ret = status;
    }
    return ret;
}

// The new rules replace the old ones in the single commit of
// "iptables-restore -n" (the file declares the chain, which empties it):
// there is no moment with an empty chain, and a failed commit keeps the old
// rules. The drop log is emptied only once the new numbering is in force.
// With IPv6 on, both files are tested before either is installed, and an
// IPv6 install that fails puts the IPv4 chain back as it was: all or
// nothing.
int zvn_apply_rules_json(const char *rules)
{
    if (rules == nullptr)
        return -1;
    const auto families = active_families();
    const bool both_families = families.size() > 1;
    std::optional<ChainLock> lock;
    std::optional<ChainKeeper> previous_ipv4;
    // With both families the IPv4 chain is listed under the lock while the
    // rule set is read, written and tested. Where another operation holds
    // the lock, the text is read first: a refusal need not wait for it.
    if (both_families && lock.emplace(ChainLock::NoWait{}).locked())
        previous_ipv4.emplace(ipv4);
    nlohmann::json rules_json;
    if (!parse_and_validate(rules, rules_json))
        return -1;
    if (both_families && !previous_ipv4) {
        if (!lock.emplace().locked())
            return -1;
        previous_ipv4.emplace(ipv4);
    }
    std::vector<std::string> restore_filenames;
    if (!write_restore_files(rules_json, 1, restore_filenames))
        return -1;
    if (!lock) {
        lock.emplace();
        if (!lock->locked())
            return -1;
    }
    if (const int ret = test_restore_files(restore_filenames); ret != 0)
        return ret;
    for (std::size_t f = 0; f < families.size(); ++f) {
        if (f == 0 && previous_ipv4)
            previous_ipv4->finish();
        const int ret = install_restore_file(restore_filenames[f], *families[f]);
        if (ret == 0)
            continue;
        if (f > 0 && previous_ipv4->put_back() != 0)
            log_record("the IPv4 chain could not be put back as it was");
        return ret;
    }
    clear_log_history();
    for (const auto &restore_filename : restore_filenames)
        std::remove(restore_filename.c_str());
    return 0;
}

int zvn_test_rules_json(const char *rules)
{
    if (rules == nullptr)
        return -1;
    nlohmann::json rules_json;
    std::vector<std::string> restore_filenames;
    if (!parse_and_validate(rules, rules_json) || !write_restore_files(rules_json, 1, restore_filenames))
        return -1;
    const int ret = test_restore_files(restore_filenames);
    if (ret == 0)
        for (const auto &restore_filename : restore_filenames)
            std::remove(restore_filename.c_str());
    return ret;
}

int zvn_restore_text_json(const char *rules, char *restore_text_out, size_t size_n)
{
    nlohmann::json rules_json;
    if (rules == nullptr || !parse_and_validate(rules, rules_json))
        return -1;
    std::string text;
    for (const Family *family : active_families()) {
        std::string family_text;
        if (!restore_text(rules_json, 1, family_text, *family))
            return -1;
        if (ipv6_enabled())
            text += command("# ", family->restore_tool, "\n");
        text += family_text;
    }
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        return -1;
    if (restore_text_out != nullptr && text.size() + 1 <= size_n)
        std::memcpy(restore_text_out, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size());
}

int zvn_get_rule_count_json(const char *rules, char *pktcnt_list_json, const size_t size_n)
{
    nlohmann::json rules_json;
    if (rules == nullptr || pktcnt_list_json == nullptr || !check_rule_set(rules, rules_json))
        return -1;
    const ChainLock lock;
    if (!lock.locked())
        return -1;

    const auto families = active_families();
    std::vector<std::vector<std::vector<int>>> positions;
    for (const Family *family : families)
        positions.push_back(counted_positions(rules_json, *family));
    int ret = 0;
    nlohmann::json pktcnt_list = nlohmann::json::array();
    for (std::size_t rule = 0; rule < rules_json.size(); ++rule) {
        unsigned long long rule_count = 0;
        int rule_ret = 0;
        for (std::size_t f = 0; f < families.size() && rule_ret == 0; ++f) {
            for (const int rule_query_index : positions[f][rule]) {
                unsigned long long packet_cnt = 0;
                rule_ret = read_one_line(*families[f], rule_query_index, packet_cnt);
                if (rule_ret != 0)
                    break;
                if (!add_count(rule_count, packet_cnt)) {
                    log_record("the count of rule line ", rule_query_index, " overflows its rule's sum");
                    rule_ret = -1;
                    break;
                }
            }
        }
        if (rule_ret == 0) {
            pktcnt_list.push_back(rule_count);
        } else {
            if (ret == 0)
                ret = rule_ret;
            pktcnt_list.push_back("error");
        }
    }
    return report_counts(pktcnt_list, pktcnt_list_json, size_n, ret);
}

// All counts come from one listing of the chain (one per family), so they
// belong to one moment and cost one process however many rules there are.
// The listing is compared with the lines the rule set makes before any
// count is told: counts of a rule set that the chain does not hold would be
// numbers of other rules.
int zvn_get_rule_count_snapshot_json(const char *rules, char *pktcnt_list_json, const size_t size_n)
{
    if (rules == nullptr || pktcnt_list_json == nullptr)
        return -1;
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    // The listings run while the rule set is parsed, validated and turned
    // into the lines each chain must show.
    std::vector<std::unique_ptr<StartedListing>> listings;
    const auto families = active_families();
    for (const Family *family : families)
        listings.push_back(std::make_unique<StartedListing>(
            command(family->tool, " -vnx -L ", chain_name, " --line-numbers")));
    // A plainly valid text is read without a JSON tree; anything else takes
    // the full parse and validation, with their records.
    std::vector<FlatRule> flat;
    if (!read_flat_rules(rules, std::strlen(rules), flat)) {
        nlohmann::json rules_json;
        if (!parse_and_validate(rules, rules_json))
            return -1;
        flat = flat_rules(rules_json);
    }
    const std::size_t rule_count = flat.size();
    std::vector<ExpectedChain> expected;
    for (const Family *family : families)
        expected.push_back(expected_chain(flat, *family));

    std::vector<unsigned long long> sums(rule_count, 0);
    std::vector<bool> overflowed(rule_count, false);
    for (std::size_t f = 0; f < families.size(); ++f) {
        ChainListingParser parser;
        const int status = listings[f]->finish(&parser);
        if (status != 0)
            return report_counts(all_errors(rule_count), pktcnt_list_json, size_n, status);
        parser.finish(listings[f]->output());
        const std::vector<ListedRuleLine> &lines = parser.lines();
        const std::string mismatch = listing_mismatch(expected[f], lines, listings[f]->output(), *families[f]);
        if (!mismatch.empty()) {
            log_record(mismatch);
            return report_counts(all_errors(rule_count), pktcnt_list_json, size_n, -1);
        }
        for (std::size_t rule = 0; rule < rule_count; ++rule)
            for (const int position : expected[f].counted[rule])
                if (!add_count(sums[rule], lines[static_cast<std::size_t>(position)].packets))
                    overflowed[rule] = true;
    }
    nlohmann::json pktcnt_list = nlohmann::json::array();
    int ret = 0;
    for (std::size_t rule = 0; rule < sums.size(); ++rule) {
        if (!overflowed[rule]) {
            pktcnt_list.push_back(sums[rule]);
            continue;
        }
        log_record("the counts of rule ", rule + 1, " overflow their sum");
        ret = -1;
        pktcnt_list.push_back("error");
    }
    return report_counts(pktcnt_list, pktcnt_list_json, size_n, ret);
}

}  // extern "C"
