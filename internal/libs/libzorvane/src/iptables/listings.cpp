// The tools' listings read back: a save listing of the filter table with
// its counters (":CHAIN POLICY [p:b]", "[p:b] -A CHAIN ..."), its lines
// read into what they match and do, the rules of INPUT and what they let
// through, a glance's digest, the layout that stands, and chain texts
// checked to hold nothing but the layout's chains.
//
// A line as "iptables-save" and "iptables -S" print it (both back ends the
// same): the source first, then the interface, the protocol, the matches
// in the order written, the target:
//   -A ZORVANE -s 10.0.0.0/24 -i eth3 -p icmp -m multiport --dports 22 -j ACCEPT
//   -A ZORVANE -i eth3 -p icmp -m iprange --src-range 10.0.3.1-10.0.3.200 -m limit --limit 5/sec -j NFLOG --nflog-prefix "RULE=4 ACT=DROP"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "../errors.h"
#include "../families.h"
#include "libzorvane.h"
#include "../log.h"
#include "../names.h"
#include "../programs.h"
#include "iptables.h"

namespace zvn {

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

// The words of a line, a double-quoted word taken whole (its quotes and
// backslash escapes as the tool writes them).
class Words {
public:
    explicit Words(std::string_view line) : line_(line) {}
    // The next word ("" at the end); quoted words without their quotes.
    std::string_view next()
    {
        while (pos_ < line_.size() && is_blank(line_[pos_]))
            ++pos_;
        if (pos_ >= line_.size())
            return {};
        if (line_[pos_] == '"') {
            const std::size_t start = ++pos_;
            while (pos_ < line_.size() && line_[pos_] != '"') {
                if (line_[pos_] == '\\')
                    ++pos_;
                ++pos_;
            }
            const std::string_view word = line_.substr(start, std::min(pos_, line_.size()) - start);
            if (pos_ < line_.size())
                ++pos_;
            return word;
        }
        const std::size_t start = pos_;
        while (pos_ < line_.size() && !is_blank(line_[pos_]))
            ++pos_;
        return line_.substr(start, pos_ - start);
    }
    bool done()
    {
        while (pos_ < line_.size() && is_blank(line_[pos_]))
            ++pos_;
        return pos_ >= line_.size();
    }

private:
    std::string_view line_;
    std::size_t pos_ = 0;
};

// "5/sec" as a rate per second; 0 for anything else.
unsigned per_second(std::string_view rate)
{
    const std::size_t slash = rate.find('/');
    if (slash == std::string_view::npos || rate.substr(slash) != "/sec" || slash == 0 || slash > 5)
        return 0;
    const std::size_t value = leading_number(rate.substr(0, slash), max_log_limit + 1);
    return leading_number(rate, 1000000) == value && value <= max_log_limit ? static_cast<unsigned>(value) : 0;
}

unsigned plain_number(std::string_view text)
{
    if (text.empty() || text.size() > 6 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    return static_cast<unsigned>(leading_number(text, 1000000));
}

// A number as the listing prints counters: decimal digits only, within 64
// bits. Anything else is no number.
bool parse_count(std::string_view token, std::uint64_t &count)
{
    if (token.empty() || token.size() > 20)
        return false;
    std::uint64_t value = 0;
    for (const char c : token) {
        if (c < '0' || c > '9')
            return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (~std::uint64_t{0} - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    count = value;
    return true;
}

int protocol_number(std::string_view name)
{
    static const std::pair<const char *, int> known[] = {{"tcp", 6}, {"udp", 17}, {"icmp", 1}, {"ipv6-icmp", 58},
                                                         {"icmpv6", 58}, {"all", 0}};
    for (const auto &[text, number] : known)
        if (name == text)
            return number;
    const unsigned number = plain_number(name);
    return number > 0 && number < 256 ? static_cast<int>(number) : -1;
}

// "22,1000:1020" as the multiport match prints it; nothing where a part is
// no port.
std::vector<Interval> port_list(std::string_view text)
{
    std::vector<Interval> ports;
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = text.find(',', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view part = text.substr(start, end - start);
        const std::size_t colon = part.find(':');
        const std::string_view first = part.substr(0, colon), last = colon == std::string_view::npos ? first : part.substr(colon + 1);
        const bool digits = !first.empty() && !last.empty() && first.size() <= 5 && last.size() <= 5 &&
                            std::all_of(first.begin(), first.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
                            std::all_of(last.begin(), last.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!digits)
            return {};
        ports.push_back({leading_number(first, 100000), leading_number(last, 100000)});
        start = end + 1;
    }
    return ports;
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

}  // namespace

std::string_view appended_chain(std::string_view line)
{
    if (line.substr(0, 3) != "-A ")
        return {};
    const std::size_t end = line.find(' ', 3);
    return end == std::string_view::npos ? std::string_view() : line.substr(3, end - 3);
}

ToolLine iptables_read_line(std::string_view text)
{
    ToolLine line;
    Words words(text);
    if (words.next() != "-A" || words.next().empty())
        return line;
    bool negated = false;
    std::string_view module;
    unsigned limit_burst = 5, hashlimit_burst = 0, hashlimit_size = 0, hashlimit_max = 0;
    bool hashlimit = false, limit = false;
    for (std::string_view word = words.next(); !word.empty(); word = words.next()) {
        if (word == "!") {
            negated = true;
            continue;
        }
        const bool was_negated = negated;
        negated = false;
        if (word == "-i") {
            line.in = words.next();
            line.in_negated = was_negated;
            if (line.in.empty())
                return ToolLine{};
        } else if (word == "-s" && !was_negated) {
            line.source_text = words.next();
            if (line.source_text.empty())
                return ToolLine{};
            const auto network = parse_network(line.source_text, family_of_text(line.source_text));
            line.has_source = true;
            if (network)
                line.source = network->interval();
            else
                line.extra = true;
        } else if (word == "-p" && !was_negated) {
            line.protocol = words.next();
            if (line.protocol.empty())
                return ToolLine{};
            line.protocol_number = protocol_number(line.protocol);
        } else if (word == "-m") {
            module = words.next();
            if (module == "limit")
                limit = true;
            else if (module == "hashlimit")
                hashlimit = true;
            else if (module != "iprange" && module != "multiport" && module != "geoip" && module != "set" &&
                     module != "comment")
                line.extra = true;
        } else if (was_negated) {
            line.extra = true;  // no layout negates anything but the loopback interface
        } else if (module == "iprange" && word == "--src-range") {
            const std::string_view range = words.next();
            line.range_text = range;
            const auto interval = parse_range(range, family_of_text(range));
            line.has_range = interval.has_value();
            line.extra = line.extra || !interval;
            if (interval)
                line.range = *interval;
        } else if (module == "multiport" && word == "--dports") {
            line.ports = words.next();
            line.port_intervals = port_list(line.ports);
        } else if (module == "geoip" && word == "--source-country") {
            line.countries = !words.next().empty();
        } else if (module == "set" && word == "--match-set") {
            line.set_name = words.next();
            line.extra = line.extra || words.next() != "src";
        } else if (module == "limit" && word == "--limit") {
            line.limit = per_second(words.next());
        } else if (module == "limit" && word == "--limit-burst") {
            limit_burst = plain_number(words.next());
        } else if (module == "hashlimit" && word == "--hashlimit-upto") {
            line.limit = per_second(words.next());
        } else if (module == "hashlimit" && word == "--hashlimit-burst") {
            hashlimit_burst = plain_number(words.next());
        } else if (module == "hashlimit" && word == "--hashlimit-name") {
            words.next();
        } else if (module == "hashlimit" && word == "--hashlimit-htable-size") {
            hashlimit_size = plain_number(words.next());
        } else if (module == "hashlimit" && word == "--hashlimit-htable-max") {
            hashlimit_max = plain_number(words.next());
        } else if (module == "comment" && word == "--comment") {
            line.comment = words.next();
        } else if (word == "-j" || word == "-g") {
            const std::string_view target = words.next();
            if (target.empty())
                return ToolLine{};
            using Target = ToolLine::Target;
            if (word == "-g") {
                line.target = Target::go;
                line.target_chain = target;
            } else if (target == "ACCEPT") {
                line.target = Target::accept;
            } else if (target == "DROP") {
                line.target = Target::drop;
            } else if (target == "NFLOG") {
                line.target = Target::nflog;
            } else if (target == "RETURN") {
                line.target = Target::ret;
            } else if (layout_chain(target)) {
                line.target = Target::jump;
                line.target_chain = target;
            } else {
                line.target = Target::other;
                line.target_chain = target;
            }
            module = {};
        } else if (line.target == ToolLine::Target::nflog && word == "--nflog-prefix") {
            line.nflog_prefix = words.next();
        } else {
            line.extra = true;
        }
    }
    // A limit the layouts write has a burst of its rate, and the copies'
    // shared one a table of one entry.
    if (limit && (line.limit == 0 || limit_burst != line.limit || hashlimit))
        line.extra = true;
    if (hashlimit) {
        line.shared_limit = true;
        if (line.limit == 0 || hashlimit_burst != line.limit || hashlimit_size != 1 || hashlimit_max != 1)
            line.extra = true;
    }
    line.readable = true;
    return line;
}

SavedTableParser::SavedTableParser(bool with_counters, LineSink *sink) : with_counters_(with_counters), sink_(sink) {}

void SavedTableParser::feed(const std::string &listing)
{
    for (;;) {
        const std::size_t end = listing.find('\n', parsed_);
        if (end == std::string::npos)
            return;
        line(listing, parsed_, end);
        parsed_ = end + 1;
    }
}

void SavedTableParser::line(const std::string &listing, std::size_t start, std::size_t end)
{
    std::string_view line = std::string_view(listing).substr(start, end - start);
    if (line.empty() || line[0] == '#')
        return;
    if (line[0] == '*') {
        in_filter_ = line == "*filter";
        return;
    }
    if (!in_filter_)
        return;
    if (line == "COMMIT") {
        in_filter_ = false;
        return;
    }
    if (line[0] == ':') {
        const std::size_t blank = line.find(' ');
        FilterTable::Chain chain;
        chain.name = std::string(line.substr(1, blank == std::string_view::npos ? std::string_view::npos : blank - 1));
        if (blank != std::string_view::npos) {
            const std::size_t policy_end = line.find(' ', blank + 1);
            chain.policy = std::string(line.substr(
                blank + 1, policy_end == std::string_view::npos ? std::string_view::npos : policy_end - blank - 1));
        }
        table_.chains.push_back(std::move(chain));
        return;
    }
    FilterTable::Line entry;
    entry.counted = !with_counters_;
    if (line[0] == '[') {
        const std::size_t colon = line.find(':'), close = line.find("] ");
        entry.counted = colon != std::string_view::npos && close != std::string_view::npos && colon < close &&
                        parse_count(line.substr(1, colon - 1), entry.packets) &&
                        parse_count(line.substr(colon + 1, close - colon - 1), entry.bytes);
        if (close == std::string_view::npos)
            return;
        line.remove_prefix(close + 2);
    }
    const std::string_view name = appended_chain(line);
    if (name.empty())
        return;
    // Lines come chain by chain: the last chain found is tried first.
    if (last_chain_ >= table_.chains.size() || table_.chains[last_chain_].name != name) {
        last_chain_ = static_cast<std::uint32_t>(table_.chains.size());
        for (std::size_t c = 0; c < table_.chains.size(); ++c)
            if (table_.chains[c].name == name) {
                last_chain_ = static_cast<std::uint32_t>(c);
                break;
            }
        if (last_chain_ == table_.chains.size())
            return;  // a line of a chain never declared
    }
    entry.chain = last_chain_;
    table_.chains[last_chain_].lines.push_back(static_cast<std::uint32_t>(table_.lines.size()));
    table_.lines.push_back(entry);
    if (sink_ != nullptr)
        sink_->line(table_.chains[last_chain_].name, line, entry);
    // Where the text stands, until the listing has its last place.
    places_.emplace_back(static_cast<std::size_t>(line.data() - listing.data()), line.size());
}

void SavedTableParser::finish(std::string listing, FilterTable &table)
{
    feed(listing);
    if (parsed_ < listing.size())
        line(listing, parsed_, listing.size());
    parsed_ = listing.size();
    table = std::move(table_);
    table.listing = std::move(listing);
    const std::string_view all = table.listing;
    for (std::size_t l = 0; l < table.lines.size(); ++l)
        table.lines[l].text = all.substr(places_[l].first, places_[l].second);
    table_ = FilterTable{};
    places_.clear();
}

bool read_saved_table(std::string listing, FilterTable &table, bool with_counters)
{
    SavedTableParser parser(with_counters);
    parser.finish(std::move(listing), table);
    return true;
}

// ---------------------------------------------------------------------------
// INPUT, the glance, what stands, what is kept
// ---------------------------------------------------------------------------

InputChain read_input_rules(const std::string &listing)
{
    InputChain input;
    std::vector<std::string> rules;
    std::istringstream in(listing);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("-P INPUT ", 0) == 0)
            input.policy = line.substr(9);
        else if (line.rfind("-A INPUT", 0) == 0)
            rules.push_back(line);
    }
    for (auto &text : rules) {
        const auto tokens = tokens_of(text);
        InputRule rule;
        rule.hook = jumps_to_chain(tokens);
        rule.can_bypass = !rule.hook && can_bypass(tokens, input.policy);
        rule.text = std::move(text);
        input.rules.push_back(std::move(rule));
    }
    return input;
}

namespace {

// What INPUT does with a packet of one kind, read from its lines and the
// chains they send it to: where it is accepted, where it is dropped, and
// where it goes on. Only what is sure counts: a line with a match this
// reading does not weigh is passed over, as if it did not match.
class InputWalk {
public:
    enum class Packet { new_remote, established_remote, new_loopback };
    enum class End { accepted, dropped, went_on };

    explicit InputWalk(const FilterTable &table) : table_(table) {}

    // Where a NEW packet from elsewhere can be accepted from a line on:
    // an accept, or a chain that can accept (followed, not into ZORVANE).
    bool can_accept_new(const std::vector<std::string> &tokens, const std::string &policy, int depth = 0) const
    {
        if (!may_match(tokens, Packet::new_remote))
            return false;
        const std::string target = target_of(tokens);
        if (target.empty() || target == chain_name)
            return false;
        if (target == "ACCEPT")
            return true;
        if (target == "RETURN")
            return depth == 0 && policy == "ACCEPT";
        if (goes_on(target))
            return false;
        const FilterTable::Chain *chain = table_.chain(target);
        if (chain == nullptr || depth >= 16)
            return true;  // a target of its own (NFQUEUE, ...), or too deep to tell
        for (const std::uint32_t l : chain->lines)
            if (can_accept_new(tokens_of(std::string(table_.lines[l].text)), policy, depth + 1))
                return true;
        return false;
    }

    // Whether a packet of a kind surely reaches an accept through INPUT.
    bool passes(Packet packet) const
    {
        const FilterTable::Chain *input = table_.chain("INPUT");
        if (input == nullptr)
            return true;
        const End end = walk(*input, packet, 0);
        return end == End::accepted || (end == End::went_on && input->policy == "ACCEPT");
    }

private:
    End walk(const FilterTable::Chain &chain, Packet packet, int depth) const
    {
        for (const std::uint32_t l : chain.lines) {
            const auto tokens = tokens_of(std::string(table_.lines[l].text));
            if (!surely_matches(tokens, packet))
                continue;
            const std::string target = target_of(tokens);
            if (target == "ACCEPT")
                return End::accepted;
            if (target == "DROP" || target == "REJECT")
                return End::dropped;
            if (target == "RETURN")
                return End::went_on;
            if (target.empty() || target == chain_name || goes_on(target))
                continue;  // the rule set's own chain: its verdicts are the operator's
            const FilterTable::Chain *next = table_.chain(target);
            if (next == nullptr || depth >= 16)
                continue;
            const End end = walk(*next, packet, depth + 1);
            const bool goto_line = std::find(tokens.begin(), tokens.end(), "-g") != tokens.end();
            if (end != End::went_on || goto_line)
                return end;
        }
        return End::went_on;
    }

    static std::string target_of(const std::vector<std::string> &tokens)
    {
        for (std::size_t i = 0; i + 1 < tokens.size(); ++i)
            if (tokens[i] == "-j" || tokens[i] == "-g")
                return tokens[i + 1];
        return "";
    }

    static bool goes_on(const std::string &target)
    {
        static const char *const going_on[] = {"DROP", "REJECT", "LOG", "NFLOG", "ULOG", "MARK", "CONNMARK", "CT",
                                               "TRACE", "AUDIT", "TOS", "DSCP", "TCPMSS", "CLASSIFY", "SET",
                                               "CHECKSUM", "TEE"};
        return std::any_of(std::begin(going_on), std::end(going_on), [&](const char *name) { return target == name; });
    }

    static bool state_holds(const std::string &states, Packet packet)
    {
        std::istringstream in(states);
        std::string state;
        while (std::getline(in, state, ','))
            if (packet == Packet::established_remote ? state == "ESTABLISHED"
                                                     : state == "NEW" || state == "UNTRACKED")
                return true;
        return false;
    }

    // The line may match a packet of the kind (nothing in it rules it out).
    static bool may_match(const std::vector<std::string> &tokens, Packet packet)
    {
        for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
            const bool negated = i > 0 && tokens[i - 1] == "!";
            if (tokens[i] == "-i" && tokens[i + 1] == "lo" && !negated && packet != Packet::new_loopback)
                return false;
            if ((tokens[i] == "--state" || tokens[i] == "--ctstate") && !negated &&
                !state_holds(tokens[i + 1], packet))
                return false;
        }
        return true;
    }

    // Every packet of the kind matches the line: it has no match but the
    // interface and connection state that the kind has.
    static bool surely_matches(const std::vector<std::string> &tokens, Packet packet)
    {
        for (std::size_t i = 2; i < tokens.size(); ++i) {
            const std::string &word = tokens[i];
            if (word == "-j" || word == "-g")
                return true;
            const bool negated = word == "!";
            const std::string &option = negated && i + 1 < tokens.size() ? tokens[i + 1] : word;
            const std::string value = i + (negated ? 2 : 1) < tokens.size() ? tokens[i + (negated ? 2 : 1)] : "";
            if (option == "-m" && (value == "state" || value == "conntrack" || value == "comment")) {
                i += 1;
            } else if (option == "--comment") {
                i += 1;
            } else if ((option == "--state" || option == "--ctstate") && !negated && state_holds(value, packet)) {
                i += 1;
            } else if (option == "-i" && (value == "lo") == (packet == Packet::new_loopback) && !negated) {
                i += 1;
            } else if (option == "-i" && value == "lo" && negated && packet != Packet::new_loopback) {
                i += 2;
            } else {
                return false;
            }
        }
        return false;  // no target: nothing decided
    }

    const FilterTable &table_;
};

}  // namespace

InputView iptables_input_view(const FilterTable &table)
{
    InputView view;
    const FilterTable::Chain *input = table.chain("INPUT");
    if (input != nullptr)
        view.policy = input->policy;
    const InputWalk walk(table);
    if (input != nullptr)
        for (const std::uint32_t l : input->lines) {
            InputView::Line line;
            line.text = std::string(table.lines[l].text);
            const auto tokens = tokens_of(line.text);
            line.hook = jumps_to_chain(tokens);
            line.can_accept_new = !line.hook && walk.can_accept_new(tokens, view.policy);
            view.lines.push_back(std::move(line));
        }
    view.established_pass = walk.passes(InputWalk::Packet::established_remote);
    view.loopback_pass = walk.passes(InputWalk::Packet::new_loopback);
    // Ports that a container engine publishes are reached through FORWARD
    // after a DNAT, past INPUT and the rule set.
    for (const char *name : {"DOCKER-USER", "DOCKER", "DOCKER-FORWARD"})
        if (table.chain(name) != nullptr)
            view.container_chains.push_back(name);
    return view;
}

std::string_view iptables_line_chain(std::string_view line)
{
    return appended_chain(line);
}

ChainSection iptables_installed_section(const Family &family, const std::string &restore_text)
{
    // The chains it declares and does not take away, and their "-A" lines
    // but the index chain's.
    ChainSection section{&family, {}, "", {}};
    std::vector<std::string> deleted;
    std::vector<std::size_t> declared;
    std::string_view rest = restore_text;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view line = rest.substr(0, end + (end < rest.size() ? 1 : 0));
        rest.remove_prefix(line.size());
        if (line.substr(0, 1) == ":") {
            const std::string_view name = line.substr(1, line.find(' ') - 1);
            if (const long k = layout_chain_index(name); k > 0)
                declared.push_back(static_cast<std::size_t>(k));
        } else if (line.substr(0, 3) == "-X ") {
            deleted.emplace_back(line.substr(3, line.size() - 3 - (line.back() == '\n' ? 1 : 0)));
        } else if (line.substr(0, 3) == "-A " && appended_chain(line) != index_chain) {
            section.lines.append(line);
        }
    }
    for (const std::size_t k : declared)
        if (std::find(deleted.begin(), deleted.end(), layout_chain_name(k)) == deleted.end())
            section.subchains.push_back(k);
    return section;
}

Glance glance_of(const std::string &saved)
{
    // The chain's lines go into a digest (FNV-1a, 64 bits), so that a
    // glance stays small however many lines there are.
    Glance glance;
    std::uint64_t digest = 0xcbf29ce484222325ULL;
    const std::string declaration = command(":", chain_name, " ");
    std::string_view rest = saved;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (!line.empty() && line[0] == '[') {  // counters, where the listing has them
            const std::size_t close = line.find("] ");
            if (close != std::string_view::npos)
                line.remove_prefix(close + 2);
        }
        if (line.substr(0, declaration.size()) == declaration) {
            glance.chain = true;
        } else if (layout_chain(appended_chain(line))) {
            // The chain's lines and those of its sub-chains.
            ++glance.lines;
            for (const char c : line) {
                digest ^= static_cast<unsigned char>(c);
                digest *= 0x100000001b3ULL;
            }
            digest = (digest ^ '\n') * 0x100000001b3ULL;
        } else if (line.substr(0, 9) == "-A INPUT " && jumps_to_chain(tokens_of(std::string(line)))) {
            ++glance.hooks;
        }
    }
    glance.digest = digest;
    return glance;
}

StandingLayout standing_of(const std::string &listing)
{
    StandingLayout standing;
    standing.index_chain = true;
    standing.subchains = subchains_named(listing);
    return standing;
}

std::vector<std::string> listed_subchains(const std::string &listing)
{
    std::vector<std::string> names;
    std::istringstream in(listing);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("-N ", 0) == 0 && line != command("-N ", chain_name) && layout_chain(line.substr(3)))
            names.push_back(line.substr(3));
    return names;
}

std::string listed_rule_lines(const std::string &listing)
{
    std::string lines;
    std::istringstream in(listing);
    std::string line;
    while (std::getline(in, line))
        if (layout_chain(appended_chain(line)))
            lines += line + "\n";
    return lines;
}

std::string kept_chain_text(const std::string &listing)
{
    std::string text = command("*filter\n:", chain_name, " - [0:0]\n");
    for (const auto &name : listed_subchains(listing))
        text += ":" + name + " - [0:0]\n";
    return text + listed_rule_lines(listing) + "COMMIT\n";
}

std::string put_back_text(const std::string &listing, const std::vector<std::string> &made)
{
    std::string text = kept_chain_text(listing);
    text.insert(text.size() - std::strlen("COMMIT\n"), taken_away(made, listed_subchains(listing)));
    return text;
}

void read_position_listing(PositionRead &read)
{
    std::istringstream words(read.output);
    std::string pkts, bytes, target;
    words >> pkts >> bytes >> target;
    read.shows_layout = target == "RETURN" || (target != chain_name && layout_chain(target));
    std::istringstream iptable_stdout(read.output);
    std::string token;
    while (std::getline(iptable_stdout, token, ' ')) {
        const char *ptoken = token.c_str();
        char *pend = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(ptoken, &pend, 10);
        if (pend == ptoken || errno == ERANGE)
            continue;
        read.packets = value;
        read.counted = true;
        return;
    }
}

// ---------------------------------------------------------------------------
// Chain texts
// ---------------------------------------------------------------------------

namespace {

const std::string chain_head = std::string("*filter\n:") + chain_name + " - [0:0]\n";

// The line that opens a family's section where both families are in play:
// the tool that takes the section, as zvn_restore_text_json writes it.
std::string section_header(const Family &family)
{
    return command("# ", tools_of(family).restore_tool, "\n");
}

// The number of a sub-chain's name ("ZORVANE-12": 12), 0 for another name.
std::size_t subchain_number(std::string_view name)
{
    const long k = layout_chain_index(name);
    return k > 0 ? static_cast<std::size_t>(k) : 0;
}

// The chains beside ZORVANE a section declares: its sub-chains and, where
// it has any, the index chain naming them.
std::vector<std::string> declared_subchains(const ChainSection &section)
{
    std::vector<std::string> names;
    for (const std::size_t k : section.subchains)
        names.push_back(layout_chain_name(k));
    if (!names.empty())
        names.push_back(index_chain);
    return names;
}

}  // namespace

std::string iptables_section_text(const ChainSection &section, const StandingLayout &standing)
{
    std::string text = chain_head;
    const std::vector<std::string> declared = declared_subchains(section);
    for (const auto &name : declared)
        text += ":" + name + " - [0:0]\n";
    text += section.lines;
    if (!section.subchains.empty())
        text += command("-A ", index_chain, " -m comment --comment \"",
                        index_comment(*std::max_element(section.subchains.begin(), section.subchains.end())), "\"\n");
    return text + taken_away(standing_chains(standing), declared) + "COMMIT\n";
}

std::string iptables_section_chain_text(const ChainSection &section)
{
    return iptables_sets_text(section.sets) + iptables_section_text(section, {});
}

// Splits a chain text into its families' sections and checks that each is
// a restore file of the chain alone: "*filter", the chain's declaration,
// the declarations of its sub-chains (ZORVANE-<n>, ZORVANE-INDEX), their
// "-A" lines, "COMMIT". Anything else (another table or chain, a policy, a
// jump to a sub-chain not declared, a second section of one family, a
// family that is off) refuses the whole text, with a record.
bool iptables_parse_chain_text(const std::string &text, std::vector<ChainSection> &sections)
{
    std::istringstream in(text);
    std::string line;
    ChainSection *current = nullptr;
    enum class Expect { table, chain, rules } expect = Expect::table;
    bool index_declared = false;
    std::string sets_lines;
    const auto refuse = [](const std::string &why) {
        log_record("the chain text is refused: ", why);
        set_error(ZVN_ERROR_CHAIN_TEXT, "the chain text is refused: " + why);
        return false;
    };
    const auto declared = [&](std::string_view name) {
        if (name == chain_name)
            return true;
        if (name == index_chain)
            return index_declared;
        const std::size_t k = subchain_number(name);
        return k != 0 && std::find(current->subchains.begin(), current->subchains.end(), k) != current->subchains.end();
    };
    while (std::getline(in, line)) {
        const Family *named = nullptr;
        for (const Family *family : {&ipv4, &ipv6})
            if (line + "\n" == section_header(*family))
                named = family;
        if (named != nullptr || current == nullptr) {
            if (current != nullptr && expect != Expect::table)
                return refuse("the " + std::string(current->family->name) + " section has no COMMIT");
            const Family *family = named != nullptr ? named : &ipv4;
            if (family->bit == ipv6.bit && !ipv6_enabled())
                return refuse("it holds an IPv6 section, and IPv6 is off");
            for (const ChainSection &seen : sections)
                if (seen.family == family)
                    return refuse("it holds two " + std::string(family->name) + " sections");
            sections.push_back({family, {}, "", {}});
            current = &sections.back();
            expect = Expect::table;
            index_declared = false;
            if (named != nullptr)
                continue;
        }
        const bool control = std::any_of(line.begin(), line.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        });
        if (control)
            return refuse("a line holds a control character");
        switch (expect) {
        case Expect::table:
            if (line.rfind("#ipset ", 0) == 0) {
                // the entries of a set the section's lines match on
                sets_lines += line + "\n";
                break;
            }
            if (line != "*filter")
                return refuse("\"" + line + "\" where \"*filter\" belongs");
            expect = Expect::chain;
            break;
        case Expect::chain:
            if (line + "\n" != chain_head.substr(chain_head.find('\n') + 1))
                return refuse("\"" + line + "\" where the chain's declaration belongs");
            expect = Expect::rules;
            break;
        case Expect::rules: {
            if (line == "COMMIT") {
                if (!iptables_parse_sets_text(sets_lines, current->sets))
                    return refuse("an address set's entry comes before the set");
                sets_lines.clear();
                expect = Expect::table;
                current = nullptr;
                break;
            }
            const std::string_view view = line;
            if (line[0] == ':' && line.size() > 9 && view.substr(line.size() - 8) == " - [0:0]") {
                const std::string_view name = view.substr(1, line.size() - 9);
                const std::size_t k = subchain_number(name);
                if (name == index_chain && !index_declared)
                    index_declared = true;
                else if (k != 0 && !declared(name) && current->lines.empty())
                    current->subchains.push_back(k);
                else
                    return refuse("\"" + line + "\" declares no sub-chain of the chain");
                break;
            }
            const std::string_view appended_to = appended_chain(view);
            if (appended_to.empty() || !declared(appended_to))
                return refuse("\"" + line + "\" is no rule line of the chain");
            std::istringstream words(line);
            std::string word, previous;
            while (words >> word) {
                if ((previous == "-g" || previous == "-j") && layout_chain(word) && !declared(word))
                    return refuse("\"" + line + "\" goes to a chain the text does not declare");
                previous = word;
            }
            if (appended_to != index_chain)
                current->lines += line + "\n";
            break;
        }
        }
    }
    if (current != nullptr)
        return refuse("the " + std::string(current->family->name) + " section has no COMMIT");
    if (sections.empty())
        return refuse("it holds no chain");
    return true;
}

}  // namespace zvn
