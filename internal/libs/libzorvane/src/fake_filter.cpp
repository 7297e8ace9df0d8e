// The in-process fake of the packet filter: the tables of both families in
// memory, changed by restore texts as iptables-restore changes them (all or
// nothing; declared chains emptied; "-X" refused while another chain goes
// to the chain), every line kept as the tool lists it (the source's host
// bits cleared, the options in the tool's order, a default burst left
// out), and read back in the tools' own listings.

#include "fake_filter.h"

#include "installed.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "families.h"
#include "iptables/iptables.h"
#include "layout.h"
#include "names.h"
#include "programs.h"
#include "libzorvane.h"

namespace zvn {

namespace {

bool builtin(const std::string &name)
{
    return name == "INPUT" || name == "FORWARD" || name == "OUTPUT";
}

// The words of a line, a double-quoted word taken whole.
std::vector<std::string> words_of(const std::string &line)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= line.size())
            break;
        std::string word;
        if (line[i] == '"') {
            for (++i; i < line.size() && line[i] != '"'; ++i)
                word += line[i];
            ++i;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t')
                word += line[i++];
        }
        words.push_back(word);
    }
    return words;
}

// A port as the tool reads it: a service's name, or a number (a leading
// zero read as octal, as the tool reads it).
bool tool_port(const std::string &text, std::string &number)
{
    static const std::pair<const char *, const char *> services[] = {
        {"ssh", "22"}, {"http", "80"}, {"https", "443"}, {"domain", "53"}, {"smtp", "25"}};
    for (const auto &[name, port] : services)
        if (text == name) {
            number = port;
            return true;
        }
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        text.size() > 6)
        return false;
    const unsigned long value = std::strtoul(text.c_str(), nullptr, text.size() > 1 && text[0] == '0' ? 8 : 10);
    if (value > 65535 || (text.size() > 1 && text[0] == '0' && text.find_first_of("89") != std::string::npos))
        return false;
    number = std::to_string(value);
    return true;
}

struct Normalized {
    bool ok = false;
    std::string text, why;
    std::vector<std::string> goes_to;  // the chains it jumps or goes to
};

// A rule line of a restore text as the tool would list it; or why the
// tool refuses it.
Normalized normalize(const std::string &line, const Family &family, bool country_match)
{
    Normalized out;
    const auto words = words_of(line);
    if (words.size() < 2 || words[0] != "-A") {
        out.why = "bad line";
        return out;
    }
    std::string source, in, protocol, target;
    std::vector<std::string> matches;
    bool negated = false;
    for (std::size_t w = 2; w < words.size(); ++w) {
        const std::string &word = words[w];
        const auto value = [&]() -> std::string { return w + 1 < words.size() ? words[++w] : std::string(); };
        if (word == "!") {
            negated = true;
            continue;
        }
        if (word == "-s") {
            const std::string text = value();
            const auto network = parse_network(text, family);
            if (!network) {
                out.why = "host/network `" + text + "' not found";
                return out;
            }
            source = (negated ? "! -s " : "-s ") + network_text(network->first(), network->prefix, family) +
                     (network->prefix == family.width ? "/" + std::to_string(family.width) : "");
        } else if (word == "-i") {
            in = (negated ? "! -i " : "-i ") + value();
        } else if (word == "-p") {
            protocol = value();
            static const char *const known[] = {"tcp", "udp", "icmp", "ipv6-icmp", "all"};
            if (std::find(std::begin(known), std::end(known), protocol) == std::end(known)) {
                out.why = "unknown protocol `" + protocol + "' specified";
                return out;
            }
            protocol = (negated ? "! -p " : "-p ") + protocol;
        } else if (word == "-m") {
            const std::string module = value();
            if (module == "geoip" && !country_match) {
                out.why = "Couldn't load match `geoip':No such file or directory";
                return out;
            }
            std::string text = "-m " + module;
            std::string limit, burst;
            while (w + 1 < words.size() && words[w + 1].rfind("--", 0) == 0) {
                const std::string option = words[++w];
                std::string argument = value();
                if (module == "limit" && option == "--limit") {
                    limit = argument;
                    continue;
                }
                if (module == "limit" && option == "--limit-burst") {
                    burst = argument;
                    continue;
                }
                if (module == "multiport" && option == "--dports") {
                    std::string ports;
                    std::stringstream list(argument);
                    std::string item;
                    while (std::getline(list, item, ',')) {
                        const std::size_t colon = item.find(':');
                        std::string first, last;
                        if (!tool_port(item.substr(0, colon), first) ||
                            (colon != std::string::npos && !tool_port(item.substr(colon + 1), last))) {
                            out.why = "invalid port/service `" + item + "' specified";
                            return out;
                        }
                        ports += (ports.empty() ? "" : ",") + first + (colon == std::string::npos ? "" : ":" + last);
                    }
                    argument = ports;
                }
                if (module == "set" && option == "--match-set")
                    argument += " " + value();
                if (module == "comment")
                    argument = "\"" + argument + "\"";
                text += " " + option + " " + argument;
            }
            if (module == "limit")
                text += " --limit " + limit + (burst.empty() || burst == "5" ? "" : " --limit-burst " + burst);
            matches.push_back((negated ? "! " : "") + text);
        } else if (word == "-j" || word == "-g") {
            const std::string name = value();
            target = word + " " + name;
            if (name != "ACCEPT" && name != "DROP" && name != "RETURN" && name != "NFLOG" && name != "REJECT" &&
                name != "LOG")
                out.goes_to.push_back(name);
            while (w + 1 < words.size() && words[w + 1].rfind("--", 0) == 0) {
                const std::string option = words[++w];
                const std::string argument = value();
                target += " " + option + (option == "--nflog-prefix" ? " \"" + argument + "\"" : " " + argument);
            }
        } else {
            out.why = "unknown option \"" + word + "\"";
            return out;
        }
        negated = false;
    }
    out.text = "-A " + words[1];
    for (const std::string *part : {&source, &in, &protocol})
        if (!part->empty())
            out.text += " " + *part;
    for (const auto &match : matches)
        out.text += " " + match;
    if (!target.empty())
        out.text += " " + target;
    out.ok = true;
    return out;
}

class FakeFile : public RestoreFile {
public:
    FakeFile(const Family &family, std::string name, std::map<std::string, std::string> &files)
        : RestoreFile(family, std::move(name)), files_(files)
    {
    }
    void remove() override { files_.erase(name()); }

private:
    std::map<std::string, std::string> &files_;
};

class FakeTableRead : public TableRead {
public:
    FakeTableRead(int status, std::string listing) : status_(status), listing_(std::move(listing)) {}
    int finish(LineSink *sink) override
    {
        if (!finished_ && status_ == 0) {
            SavedTableParser parser(true, sink);
            parser.finish(std::move(listing_), table_);
        }
        finished_ = true;
        return status_;
    }
    const FilterTable &table() const override { return table_; }

private:
    int status_;
    std::string listing_;
    FilterTable table_;
    bool finished_ = false;
};

class FakeStanding : public StandingRead {
public:
    explicit FakeStanding(StandingLayout standing) : standing_(standing) {}
    const StandingLayout &standing() override { return standing_; }

private:
    StandingLayout standing_;
};

class FakeKept : public KeptChains {
public:
    FakeKept(PacketFilter &filter, const Family &family, int status, std::string listing)
        : filter_(filter), family_(family), status_(status), listing_(std::move(listing))
    {
    }
    int finish() override { return status_; }
    std::string rule_lines() override { return status_ == 0 ? listed_rule_lines(listing_) : ""; }
    std::vector<std::string> subchains() override
    {
        return status_ == 0 ? listed_subchains(listing_) : std::vector<std::string>{};
    }
    std::string chain_text() override { return kept_chain_text(status_ == 0 ? listing_ : ""); }
    int put_back(const std::vector<std::string> &made) override
    {
        if (status_ != 0)
            return -1;
        return filter_.install_text(family_, put_back_text(listing_, made));
    }

private:
    PacketFilter &filter_;
    const Family &family_;
    int status_;
    std::string listing_;
};

const char *const hook_line = "-A INPUT -m state --state NEW -j ZORVANE";

}  // namespace

FakeFilter::Chain *FakeFilter::Table::chain(const std::string &name)
{
    for (Chain &one : chains)
        if (one.name == name)
            return &one;
    return nullptr;
}

const FakeFilter::Chain *FakeFilter::Table::chain(const std::string &name) const
{
    for (const Chain &one : chains)
        if (one.name == name)
            return &one;
    return nullptr;
}

FakeFilter::FakeFilter()
{
    for (const unsigned bit : {ipv4.bit, ipv6.bit})
        for (const char *name : {"INPUT", "FORWARD", "OUTPUT"})
            tables_[bit].chains.push_back({name, "ACCEPT", {}});
}

FakeFilter::Table &FakeFilter::table(const Family &family)
{
    return tables_[family.bit];
}

std::string FakeFilter::save(const Family &family, bool counters) const
{
    const Table &table = tables_.at(family.bit);
    std::string text = "# Generated by the fake\n*filter\n";
    for (const Chain &chain : table.chains)
        text += ":" + chain.name + " " + chain.policy + " [0:0]\n";
    for (const Chain &chain : table.chains)
        for (const Line &line : chain.lines)
            text += (counters ? "[" + std::to_string(line.packets) + ":" + std::to_string(line.bytes) + "] " : "") +
                    line.text + "\n";
    return text + "COMMIT\n";
}

std::string FakeFilter::listed(const Family &family, const std::string &name, int &status) const
{
    const Table &table = tables_.at(family.bit);
    status = 0;
    std::string text;
    for (const Chain &chain : table.chains)
        if (name.empty() || chain.name == name)
            text += builtin(chain.name) ? "-P " + chain.name + " " + chain.policy + "\n" : "-N " + chain.name + "\n";
    for (const Chain &chain : table.chains)
        if (name.empty() || chain.name == name)
            for (const Line &line : chain.lines)
                text += line.text + "\n";
    if (!name.empty() && table.chain(name) == nullptr)
        status = 256;
    return text;
}

std::vector<std::string> FakeFilter::chain_names(const Family &family) const
{
    std::vector<std::string> names;
    if (const auto found = tables_.find(family.bit); found != tables_.end())
        for (const Chain &chain : found->second.chains)
            names.push_back(chain.name);
    return names;
}

std::string FakeFilter::lines_of(const Family &family, const std::string &chain) const
{
    std::string text;
    if (const Chain *found = tables_.at(family.bit).chain(chain))
        for (const Line &line : found->lines)
            text += line.text + "\n";
    return text;
}

void FakeFilter::set_counters(const Family &family, const std::string &chain, std::size_t line, std::uint64_t packets,
                              std::uint64_t bytes)
{
    Chain *found = table(family).chain(chain);
    if (found != nullptr && line >= 1 && line <= found->lines.size())
        found->lines[line - 1] = {found->lines[line - 1].text, packets, bytes};
}

void FakeFilter::fail_next_test(const Family &family, Fault fault)
{
    next_test_[family.bit] = std::move(fault);
}

void FakeFilter::fail_next_install(const Family &family, Fault fault)
{
    next_install_[family.bit] = std::move(fault);
}

void FakeFilter::fail_reads(const Family &family, int status)
{
    reads_failing_[family.bit] = status;
}

std::size_t FakeFilter::files_left() const
{
    return files_.size();
}

void FakeFilter::changed()
{
    ++changes_;
}

// A restore text applied to a copy of the table, which replaces it only
// when every line was taken: the tool's one commit.
ToolVerdict FakeFilter::restore(Table &table, const Family &family, const std::string &text, bool flush_all) const
{
    Table next = table;
    ToolVerdict verdict;
    const auto refuse = [&](long line, const std::string &why) {
        verdict.status = 2 << 8;
        verdict.line = line;
        verdict.words = "iptables-restore v1.8.9 (fake): " + why;
        return verdict;
    };
    if (flush_all) {
        for (Chain &chain : next.chains)
            chain.lines.clear();
        next.chains.erase(std::remove_if(next.chains.begin(), next.chains.end(),
                                         [](const Chain &chain) { return !builtin(chain.name); }),
                          next.chains.end());
    }
    std::istringstream in(text);
    std::string line;
    long number = 0;
    bool in_filter = false;
    std::vector<std::pair<long, std::vector<std::string>>> jumps;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty() || line[0] == '#')
            continue;
        if (line == "*filter") {
            in_filter = true;
            continue;
        }
        if (line == "COMMIT") {
            in_filter = false;
            continue;
        }
        if (!in_filter)
            return refuse(number, "no table");
        if (line[0] == ':') {
            const auto words = words_of(line.substr(1));
            if (words.size() < 2)
                return refuse(number, "bad chain declaration");
            Chain *chain = next.chain(words[0]);
            if (chain == nullptr) {
                if (builtin(words[0]))
                    return refuse(number, "bad built-in chain");
                next.chains.push_back({words[0], "-", {}});
                chain = &next.chains.back();
            }
            chain->lines.clear();
            if (builtin(words[0]) && words[1] != "-")
                chain->policy = words[1];
            continue;
        }
        std::uint64_t packets = 0, bytes = 0;
        if (line[0] == '[') {
            const std::size_t close = line.find("] ");
            if (close == std::string::npos || std::sscanf(line.c_str(), "[%lu:%lu]", &packets, &bytes) != 2)
                return refuse(number, "bad counters");
            line = line.substr(close + 2);
        }
        const auto words = words_of(line);
        if (words.size() == 2 && (words[0] == "-X" || words[0] == "-Z" || words[0] == "-F")) {
            Chain *chain = next.chain(words[1]);
            if (chain == nullptr)
                return refuse(number, "No chain/target/match by that name");
            if (words[0] == "-Z") {
                for (Line &one : chain->lines)
                    one.packets = one.bytes = 0;
            } else if (words[0] == "-F") {
                chain->lines.clear();
            } else {
                for (const Chain &other : next.chains)
                    for (const Line &one : other.lines) {
                        const auto targets = words_of(one.text);
                        for (std::size_t w = 0; w + 1 < targets.size(); ++w)
                            if ((targets[w] == "-j" || targets[w] == "-g") && targets[w + 1] == words[1])
                                return refuse(number, "Device or resource busy");
                    }
                if (!chain->lines.empty() || builtin(words[1]))
                    return refuse(number, "Directory not empty");
                next.chains.erase(next.chains.begin() + (chain - next.chains.data()));
            }
            continue;
        }
        if (words.size() < 2 || words[0] != "-A")
            return refuse(number, "unknown command");
        Chain *chain = next.chain(words[1]);
        if (chain == nullptr)
            return refuse(number, "No chain/target/match by that name");
        const Normalized normal = normalize(line, family, country_match);
        if (!normal.ok)
            return refuse(number, normal.why);
        // A set match needs its set, of the line's family, as the kernel does.
        for (std::size_t w = 0; w + 1 < words.size(); ++w)
            if (words[w] == "--match-set") {
                const auto found = sets_.find(words[w + 1]);
                if (found == sets_.end() || found->second.family->bit != family.bit)
                    return refuse(number, "Set " + words[w + 1] + " doesn't exist.");
            }
        chain->lines.push_back({normal.text, packets, bytes});
        jumps.emplace_back(number, normal.goes_to);
    }
    for (const auto &[at, targets] : jumps)
        for (const auto &name : targets)
            if (next.chain(name) == nullptr)
                return refuse(at, "Couldn't load target `" + name + "':No such file or directory");
    table = std::move(next);
    return verdict;
}

bool FakeFilter::run(const Family &family, const std::string &arguments)
{
    Table &table = this->table(family);
    const std::size_t blank = arguments.find(' ');
    const std::string verb = arguments.substr(0, blank);
    const std::string rest = blank == std::string::npos ? "" : arguments.substr(blank + 1);
    const auto words = words_of(rest);
    bool done = false;
    if (verb == "restore" || verb == "restore-all") {
        done = restore(table, family, rest, verb == "restore-all").status == 0;
    } else if (words.empty()) {
        return false;
    } else if (verb == "-N" && table.chain(words[0]) == nullptr) {
        table.chains.push_back({words[0], "-", {}});
        done = true;
    } else if (verb == "-F" && table.chain(words[0]) != nullptr) {
        table.chain(words[0])->lines.clear();
        done = true;
    } else if (verb == "-X") {
        done = restore(table, family, "*filter\n-X " + words[0] + "\nCOMMIT\n", false).status == 0;
    } else if (verb == "-P" && words.size() == 2 && table.chain(words[0]) != nullptr) {
        table.chain(words[0])->policy = words[1];
        done = true;
    } else if ((verb == "-A" || verb == "-I" || verb == "-D") && table.chain(words[0]) != nullptr) {
        Chain &chain = *table.chain(words[0]);
        if (verb == "-D" && words.size() == 2 && std::all_of(words[1].begin(), words[1].end(), [](char c) { return c >= '0' && c <= '9'; })) {
            const std::size_t at = std::stoul(words[1]);
            if (at >= 1 && at <= chain.lines.size()) {
                chain.lines.erase(chain.lines.begin() + static_cast<std::ptrdiff_t>(at - 1));
                done = true;
            }
        } else {
            const Normalized normal = normalize("-A " + rest, family, country_match);
            if (!normal.ok)
                return false;
            if (verb == "-A") {
                chain.lines.push_back({normal.text, 0, 0});
                done = true;
            } else if (verb == "-I") {
                chain.lines.insert(chain.lines.begin(), {normal.text, 0, 0});
                done = true;
            } else {
                const auto it = std::find_if(chain.lines.begin(), chain.lines.end(),
                                             [&](const Line &line) { return line.text == normal.text; });
                if (it != chain.lines.end()) {
                    chain.lines.erase(it);
                    done = true;
                }
            }
        }
    }
    if (done)
        changed();
    return done;
}

Readiness FakeFilter::readiness()
{
    Readiness ready;
    ready.preparation_script = "/usr/sbin/firewall.sh";
    ready.preparation = preparation;
    ready.ipv6_kernel = true;
    return ready;
}

std::string FakeFilter::restore_text(const RuleSet &set, const Layout &layout, Numbering numbering,
                                     const Family &family, unsigned log_limit, const StandingLayout &standing,
                                     std::vector<std::uint32_t> *line_rules, const std::vector<std::string> *country_sets)
{
    return iptables_restore_text(set, layout, numbering, family, log_limit, standing, line_rules, country_sets);
}

std::string FakeFilter::failsafe_text(const RuleSet &allows, const Family &family, unsigned log_limit)
{
    return iptables_failsafe_text(allows, family, log_limit);
}

ToolLine FakeFilter::read_line(std::string_view text)
{
    return iptables_read_line(text);
}

bool FakeFilter::parse_chain_text(const std::string &text, std::vector<ChainSection> &sections)
{
    return iptables_parse_chain_text(text, sections);
}

std::string FakeFilter::section_header(const Family &family)
{
    return command("# ", tools_of(family).restore_tool, "\n");
}

std::string FakeFilter::section_text(const ChainSection &section, const StandingLayout &standing)
{
    return iptables_section_text(section, standing);
}

std::unique_ptr<RestoreFile> FakeFilter::write(const Family &family, const std::string &text)
{
    const std::string name = std::string("fake:") + family.key + ":" + std::to_string(++next_file_);
    files_[name] = text;
    return std::make_unique<FakeFile>(family, name, files_);
}

std::vector<ToolVerdict> FakeFilter::test(const std::vector<RestoreFile *> &files)
{
    std::vector<ToolVerdict> verdicts;
    for (RestoreFile *file : files) {
        const Family &family = file->family();
        runs.push_back(std::string("test ") + family.key);
        if (const auto planned = next_test_.find(family.bit); planned != next_test_.end()) {
            verdicts.push_back({planned->second.status, planned->second.line, planned->second.words});
            next_test_.erase(planned);
            continue;
        }
        Table copy = table(family);
        verdicts.push_back(restore(copy, family, files_[file->name()], false));
    }
    return verdicts;
}

ToolVerdict FakeFilter::install(RestoreFile &file)
{
    const Family &family = file.family();
    runs.push_back(std::string("install ") + family.key);
    if (const auto planned = next_install_.find(family.bit); planned != next_install_.end()) {
        const ToolVerdict verdict{planned->second.status, planned->second.line, planned->second.words};
        next_install_.erase(planned);
        return verdict;
    }
    const ToolVerdict verdict = restore(table(family), family, files_[file.name()], false);
    if (verdict.status == 0)
        changed();
    return verdict;
}

std::unique_ptr<TableRead> FakeFilter::read_table(const Family &family, Records)
{
    runs.push_back(std::string("read ") + family.key);
    const auto failing = reads_failing_.find(family.bit);
    const int status = failing != reads_failing_.end() ? failing->second : 0;
    return std::make_unique<FakeTableRead>(status, status == 0 ? save(family) : "");
}

int FakeFilter::read_position(const Family &family, int position, PositionRead &read)
{
    read = PositionRead{};
    std::string &output = read.output;
    const Chain *chain = table(family).chain(chain_name);
    if (chain == nullptr)
        return 256;
    if (position < 1 || static_cast<std::size_t>(position) > chain->lines.size())
        return 0;
    const Line &line = chain->lines[static_cast<std::size_t>(position - 1)];
    const auto words = words_of(line.text);
    std::string target;
    for (std::size_t w = 0; w + 1 < words.size(); ++w)
        if (words[w] == "-j" || words[w] == "-g")
            target = words[w + 1];
    output = "    " + std::to_string(line.packets) + "  " + std::to_string(line.bytes) + " " + target + "  all  --  *  *";
    read_position_listing(read);
    return 0;
}

std::unique_ptr<StandingRead> FakeFilter::read_standing(const Family &family)
{
    int status = 0;
    const std::string listing = listed(family, index_chain, status);
    return std::make_unique<FakeStanding>(status == 0 ? standing_of(listing) : StandingLayout{});
}

std::unique_ptr<KeptChains> FakeFilter::keep(const Family &family, const StandingLayout *standing)
{
    int status = 0;
    const bool whole_table = standing != nullptr && standing->index_chain;
    const std::string listing = listed(family, whole_table ? "" : chain_name, status);
    return std::make_unique<FakeKept>(*this, family, status, listing);
}

int FakeFilter::read_input(const Family &family, InputChain &input)
{
    if (const auto failing = reads_failing_.find(family.bit); failing != reads_failing_.end())
        return failing->second;
    int status = 0;
    input = read_input_rules(listed(family, "INPUT", status));
    return status;
}

bool FakeFilter::read_chain_lines(const Family &family, int &lines)
{
    const Chain *chain = table(family).chain(chain_name);
    lines = chain == nullptr ? 0 : static_cast<int>(chain->lines.size());
    return chain != nullptr;
}

int FakeFilter::glance(const Family &family, Glance &glance)
{
    if (const auto failing = reads_failing_.find(family.bit); failing != reads_failing_.end())
        return failing->second;
    glance = glance_of(save(family, false));
    return 0;
}

void FakeFilter::setup_default_chain()
{
    setup_hook(ZVN_HOOK_LAST);
}

void FakeFilter::setup_hook(int where)
{
    if ((where & ZVN_HOOK_NO_PREPARE) == 0)
        prepare();
    where &= ~ZVN_HOOK_NO_PREPARE;
    for (const Family *family : active_families()) {
        Table &table = this->table(*family);
        if (table.chain(chain_name) == nullptr)
            table.chains.push_back({chain_name, "-", {}});
        Chain &hooked = *table.chain("INPUT");
        const auto is_hook = [](const Line &line) { return line.text == hook_line; };
        const bool has_hook = std::any_of(hooked.lines.begin(), hooked.lines.end(), is_hook);
        if (where == ZVN_HOOK_KEEP && has_hook)
            continue;
        if (where != ZVN_HOOK_KEEP)
            hooked.lines.erase(std::remove_if(hooked.lines.begin(), hooked.lines.end(), is_hook), hooked.lines.end());
        if (where == ZVN_HOOK_FIRST)
            hooked.lines.insert(hooked.lines.begin(), {hook_line, 0, 0});
        else
            hooked.lines.push_back({hook_line, 0, 0});
    }
    changed();
}

int FakeFilter::prepare()
{
    runs.push_back("prepare");
    if (!preparation)
        return 127 * 256;
    // As the example preparation script: loopback and established traffic
    // accepted at the top of INPUT, each once.
    for (const Family *family : active_families()) {
        Chain &input = *table(*family).chain("INPUT");
        const std::string lo = "-A INPUT -i lo -j ACCEPT",
                          established = "-A INPUT -m state --state RELATED,ESTABLISHED -j ACCEPT";
        const auto has = [&](const std::string &text) {
            return std::any_of(input.lines.begin(), input.lines.end(), [&](const Line &line) { return line.text == text; });
        };
        if (!has(lo))
            input.lines.insert(input.lines.begin(), {lo, 0, 0});
        if (!has(established))
            input.lines.insert(input.lines.begin() + 1, {established, 0, 0});
    }
    changed();
    return 0;
}

int FakeFilter::insert_hook(const Family &family, std::size_t position)
{
    runs.push_back(std::string("hook ") + family.key);
    Chain &input = *table(family).chain("INPUT");
    if (table(family).chain(chain_name) == nullptr || position > input.lines.size() + 1)
        return 256;
    input.lines.insert(position == 0 ? input.lines.end() : input.lines.begin() + static_cast<long>(position - 1),
                       {hook_line, 0, 0});
    changed();
    return 0;
}

int FakeFilter::delete_input_line(const Family &family, std::size_t position)
{
    runs.push_back(std::string("unhook ") + family.key);
    Chain &input = *table(family).chain("INPUT");
    if (position == 0 || position > input.lines.size())
        return 256;
    input.lines.erase(input.lines.begin() + static_cast<long>(position - 1));
    changed();
    return 0;
}

std::string FakeFilter::section_chain_text(const ChainSection &section)
{
    return iptables_section_chain_text(section);
}

std::string FakeFilter::sets_text(const std::vector<AddressSet> &sets)
{
    return iptables_sets_text(sets);
}

bool FakeFilter::parse_sets_text(const std::string &text, std::vector<AddressSet> &sets)
{
    return iptables_parse_sets_text(text, sets);
}

int FakeFilter::set_names(std::vector<std::string> &names)
{
    runs.push_back("set names");
    for (const auto &[name, set] : sets_)
        names.push_back(name);
    return 0;
}

int FakeFilter::read_sets(const std::vector<std::string> &names, std::vector<AddressSet> &sets)
{
    runs.push_back("read sets");
    for (const std::string &name : names)
        if (const auto found = sets_.find(name); found != sets_.end())
            sets.push_back(found->second);
    return 0;
}

int FakeFilter::load_sets(const std::vector<AddressSet> &sets)
{
    runs.push_back("load sets");
    if (next_set_load_ != 0) {
        const int status = next_set_load_;
        next_set_load_ = 0;
        return status;
    }
    for (const AddressSet &set : sets)
        sets_[set.name] = set;
    return 0;
}

std::string FakeFilter::with_counts(const std::string &text, const std::vector<std::uint32_t> &line_rules,
                                    const std::vector<std::pair<std::uint64_t, std::uint64_t>> &per_rule)
{
    return iptables_with_counts(text, line_rules, per_rule);
}

int FakeFilter::glance_sets(std::string &headers)
{
    runs.push_back("glance sets");
    // As the tool's headers: the entries themselves are not told, so a
    // test that swaps an entry for another sees what the tool would.
    headers.clear();
    for (const auto &[name, set] : sets_)
        headers += name + " " + std::to_string(set.entries.size()) + "\n";
    return 0;
}

int FakeFilter::destroy_sets(const std::vector<std::string> &names)
{
    runs.push_back("destroy sets");
    int status = 0;
    for (const std::string &name : names) {
        // A set a line still matches on is in use.
        bool used = false;
        for (const auto &[bit, table] : tables_)
            for (const Chain &chain : table.chains)
                for (const Line &line : chain.lines)
                    used = used || line.text.find("--match-set " + name + " ") != std::string::npos;
        if (used || sets_.erase(name) == 0)
            status = 256;
    }
    return status;
}

bool FakeFilter::takes_country_match()
{
    return country_match;
}

std::string_view FakeFilter::line_chain(std::string_view line)
{
    return iptables_line_chain(line);
}

ChainSection FakeFilter::installed_section(const Family &family, const std::string &restore_text)
{
    return iptables_installed_section(family, restore_text);
}

InputView FakeFilter::read_input_view(const FilterTable &table)
{
    return iptables_input_view(table);
}

int FakeFilter::zero(const Family &family)
{
    Chain *chain = table(family).chain(chain_name);
    if (chain == nullptr)
        return 256;
    for (Line &line : chain->lines)
        line.packets = line.bytes = 0;
    return 0;
}

int FakeFilter::zero_subchains(const Family &family)
{
    const StandingLayout standing = read_standing(family)->standing();
    for (std::size_t k = 1; k <= standing.subchains; ++k)
        if (Chain *chain = table(family).chain(layout_chain_name(k)))
            for (Line &line : chain->lines)
                line.packets = line.bytes = 0;
    return 0;
}

int FakeFilter::watch()
{
    if (!events)
        return 0;
    if (!watching_)
        seen_changes_ = changes_;
    watching_ = true;
    return 1;
}

int FakeFilter::changes_seen()
{
    if (!watching_)
        return -1;
    if (changes_ == seen_changes_)
        return 0;
    seen_changes_ = changes_;
    return 1;
}

FakeFilter &use_fake_filter(const std::string &directory)
{
    mkdir(directory.c_str(), 0700);
    mkdir((directory + "/records").c_str(), 0700);
    use_private_places(directory);
    forget_kept_record();
    auto fake = std::make_unique<FakeFilter>();
    FakeFilter &kept = *fake;
    use_packet_filter(std::move(fake));
    return kept;
}

}  // namespace zvn
