// The iptables tools run: restore files written privately to /tmp, tested
// and committed, the filter table saved with its counters, the specified
// command texts through the shell, every other program from an argument
// vector without one.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../families.h"
#include "../log.h"
#include "../names.h"
#include "../programs.h"
#include "iptables.h"
#include "libzorvane.h"

namespace zvn {

const FamilyTools &tools_of(const Family &family)
{
    static const FamilyTools four{tools::iptables, tools::iptables_restore, tools::iptables_save,
                                  tools::restore_file_prefix, "icmp"};
    static const FamilyTools six{tools::ip6tables, tools::ip6tables_restore, tools::ip6tables_save,
                                 tools::restore6_file_prefix, "ipv6-icmp"};
    return family.bit == ipv6.bit ? six : four;
}

namespace {

std::string fresh_restore_filename(const Family &family)
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const long nanoseconds = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
    return tools_of(family).file_prefix + std::to_string(nanoseconds) + ".tmp";
}

class FileInTmp : public RestoreFile {
public:
    using RestoreFile::RestoreFile;
    void remove() override { std::remove(name().c_str()); }
};

// What a refusing tool says, without its pointer to its help and the line
// it names; and the number of that line.
void read_refusal(const std::string &said, ToolVerdict &verdict)
{
    std::istringstream in(said);
    std::string line;
    const std::string marker = "Error occurred at line: ";
    while (std::getline(in, line)) {
        if (line.rfind(marker, 0) == 0) {
            verdict.line = std::strtol(line.c_str() + marker.size(), nullptr, 10);
            continue;
        }
        if (line.empty() || line.rfind("Try `", 0) == 0)
            continue;
        verdict.words += (verdict.words.empty() ? "" : "; ") + line;
    }
}

// The runs of restore files: the specified records ("$ CMD 1>&2"), the
// tools' words passed on to standard error as system() would pass them,
// and kept for the verdicts.
std::vector<ToolVerdict> run_restores(const std::vector<std::string> &commands)
{
    std::vector<ToolVerdict> verdicts;
    if (commands.size() == 1 && !KeptWords::on()) {
        verdicts.push_back({do_system_call(commands[0]), 0, ""});
        return verdicts;
    }
    std::vector<std::string> words;
    const std::vector<int> statuses = run_side_by_side(commands, &words, !KeptWords::on() || log_enabled());
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        ToolVerdict verdict{statuses[i], 0, ""};
        if (statuses[i] != 0)
            read_refusal(words[i], verdict);
        verdicts.push_back(verdict);
    }
    return verdicts;
}

class SavedTableRead : public TableRead {
public:
    SavedTableRead(const Family &family, Records records)
        : prefix_(records == Records::captured ? "popen --> " : "$ ")
    {
        const FamilyTools &t = tools_of(family);
        cmd_ = command(t.save_tool, " -c -t filter");
        log_record(prefix_, cmd_);
        program_ = std::make_unique<Program>(std::vector<std::string>{t.save_tool, "-c", "-t", "filter"}, 1,
                                             Program::Mode::piped,
                                             KeptWords::on() ? Program::Words::kept : Program::Words::usual);
    }
    ~SavedTableRead() override { finish(nullptr); }
    int finish(LineSink *sink) override
    {
        if (finished_)
            return status_;
        finished_ = true;
        // The lines are read as the listing comes, while the tool goes on.
        std::string listing;
        SavedTableParser parser(true, sink);
        status_ = program_->read_all(listing, [&](const std::string &so_far) { parser.feed(so_far); });
        if (KeptWords::on() && log_enabled())
            write_all(2, program_->words());
        log_record(prefix_, cmd_, " --> ret=", status_);
        if (status_ == 0)
            parser.finish(std::move(listing), table_);
        return status_;
    }
    const FilterTable &table() const override { return table_; }

private:
    const char *prefix_;
    std::string cmd_;
    std::unique_ptr<Program> program_;
    FilterTable table_;
    int status_ = -1;
    bool finished_ = false;
};

// ZORVANE-INDEX, listed without a shell: its comment names the sub-chains
// of the layout that stands; where it is missing, none stands.
class IndexChainRead : public StandingRead {
public:
    explicit IndexChainRead(const Family &family)
        : listing_(std::vector<std::string>{tools_of(family).tool, "-S", index_chain}, 1)
    {
    }
    const StandingLayout &standing() override
    {
        if (!read_) {
            read_ = true;
            if (listing_.wait() == 0)
                standing_ = standing_of(listing_.kept());
        }
        return standing_;
    }

private:
    Program listing_;
    StandingLayout standing_;
    bool read_ = false;
};

// A family's chain as the tool prints it with -S, listed from the start
// (no shell) while the rule set is read and tested (the listing costs more
// than a test run, and a host has more than one core): should a later
// family's install fail, exactly these lines go back in one commit. The
// listing is kept in an anonymous file, never under a name in /tmp. Where
// an indexed layout stands, the whole table is listed and its chains kept.
class ListedChains : public KeptChains {
public:
    ListedChains(PacketFilter &filter, const Family &family, const StandingLayout *standing)
        : filter_(filter),
          family_(family),
          whole_table_(standing != nullptr && standing->index_chain),
          cmd_(whole_table_ ? command(tools_of(family).tool, " -S")
                            : command(tools_of(family).tool, " -S ", chain_name)),
          listing_(whole_table_ ? std::vector<std::string>{tools_of(family).tool, "-S"}
                                : std::vector<std::string>{tools_of(family).tool, "-S", chain_name},
                   1)
    {
        log_record("$ ", cmd_);
    }
    ~ListedChains() override { finish(); }
    int finish() override
    {
        if (!finished_)
            log_record("$ ", cmd_, " --> ret=", listing_.wait());
        finished_ = true;
        return listing_.wait();
    }
    std::string rule_lines() override { return finish() == 0 ? listed_rule_lines(listing_.kept()) : ""; }
    std::vector<std::string> subchains() override
    {
        return finish() == 0 ? listed_subchains(listing_.kept()) : std::vector<std::string>{};
    }
    std::string chain_text() override
    {
        return kept_chain_text(finish() == 0 ? listing_.kept() : std::string());
    }
    int put_back(const std::vector<std::string> &made) override
    {
        if (finish() != 0) {
            log_record("the ", family_.name, " chain was not listed before the change; it keeps the new rules");
            return -1;
        }
        return filter_.install_text(family_, put_back_text(listing_.kept(), made));
    }

private:
    PacketFilter &filter_;
    const Family &family_;
    const bool whole_table_;
    const std::string cmd_;
    Program listing_;
    bool finished_ = false;
};

// The watch of the packet filter's changes: on the nf_tables back end,
// xtables-monitor prints a line for every commit (line-buffered through
// stdbuf); the legacy back end has no such events, so it is polled.
struct Monitor {
    std::unique_ptr<Program> program;
    std::string output;
    ~Monitor()
    {
        if (program)
            program->stop();
    }
};
Monitor &monitor()
{
    static Monitor watch;
    return watch;
}

}  // namespace

Readiness IptablesFilter::readiness()
{
    Readiness ready;
    ready.preparation_script = tools::firewall_script;
    ready.preparation = access(tools::firewall_script, X_OK) == 0;
    ready.ipv6_kernel = access("/proc/net/if_inet6", F_OK) == 0;
    for (const char *tool : {tools::ip6tables, tools::ip6tables_restore, tools::ip6tables_save})
        if (access(tool, X_OK) != 0)
            ready.ipv6_missing.push_back(tool);
    return ready;
}

std::string IptablesFilter::restore_text(const RuleSet &set, const Layout &layout, Numbering numbering,
                                         const Family &family, unsigned log_limit, const StandingLayout &standing,
                                         std::vector<std::uint32_t> *line_rules, const std::vector<std::string> *country_sets)
{
    return iptables_restore_text(set, layout, numbering, family, log_limit, standing, line_rules, country_sets);
}

std::string IptablesFilter::failsafe_text(const RuleSet &allows, const Family &family, unsigned log_limit)
{
    return iptables_failsafe_text(allows, family, log_limit);
}

ToolLine IptablesFilter::read_line(std::string_view text)
{
    return iptables_read_line(text);
}

bool IptablesFilter::parse_chain_text(const std::string &text, std::vector<ChainSection> &sections)
{
    return iptables_parse_chain_text(text, sections);
}

std::string IptablesFilter::section_header(const Family &family)
{
    return command("# ", tools_of(family).restore_tool, "\n");
}

std::string IptablesFilter::section_text(const ChainSection &section, const StandingLayout &standing)
{
    return iptables_section_text(section, standing);
}

std::string IptablesFilter::section_chain_text(const ChainSection &section)
{
    return iptables_section_chain_text(section);
}

std::string IptablesFilter::sets_text(const std::vector<AddressSet> &sets)
{
    return iptables_sets_text(sets);
}

bool IptablesFilter::parse_sets_text(const std::string &text, std::vector<AddressSet> &sets)
{
    return iptables_parse_sets_text(text, sets);
}

int IptablesFilter::set_names(std::vector<std::string> &names)
{
    return iptables_set_names(names);
}

int IptablesFilter::read_sets(const std::vector<std::string> &names, std::vector<AddressSet> &sets)
{
    return iptables_read_sets(names, sets);
}

int IptablesFilter::load_sets(const std::vector<AddressSet> &sets)
{
    return iptables_load_sets(sets);
}

std::string IptablesFilter::with_counts(const std::string &text, const std::vector<std::uint32_t> &line_rules,
                                        const std::vector<std::pair<std::uint64_t, std::uint64_t>> &per_rule)
{
    return iptables_with_counts(text, line_rules, per_rule);
}

int IptablesFilter::glance_sets(std::string &headers)
{
    return iptables_glance_sets(headers);
}

int IptablesFilter::destroy_sets(const std::vector<std::string> &names)
{
    return iptables_destroy_sets(names);
}

// Whether the test run takes the country match: a file of one country line
// tested once, in a chain of its own, which the test creates nothing of.
bool IptablesFilter::takes_country_match()
{
    static int known = -1;
    if (known < 0) {
        auto file = write(ipv4, "*filter\n:ZORVANE - [0:0]\n-A ZORVANE -m geoip --source-country US -j DROP\nCOMMIT\n");
        known = 0;
        if (file) {
            // A question of the library's own: the tool's refusal is no
            // message for anyone, only a line of the log.
            std::vector<std::string> words;
            known = run_side_by_side({command(tools_of(ipv4).restore_tool, " --test ", file->name())}, &words,
                                     false)[0] == 0
                        ? 1
                        : 0;
            if (known == 0 && !words.empty())
                log_record("the country match is not taken here: ", words[0]);
            file->remove();
        }
    }
    return known == 1;
}

// Writes the restore text to a new file in /tmp. The file is created
// exclusively and without following links, so that a name planted in the
// world-writable /tmp can neither redirect nor pre-fill it; it is private to
// root. On any failure the partial file is removed and nothing returned.
std::unique_ptr<RestoreFile> IptablesFilter::write(const Family &family, const std::string &text)
{
    constexpr int attempts = 100;
    int fd = -1;
    std::string restore_filename;
    for (int attempt = 0; attempt < attempts && fd < 0; ++attempt) {
        restore_filename = fresh_restore_filename(family);
        fd = open(restore_filename.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        log_record("cannot create restore file ", restore_filename, ": ", std::strerror(errno));
        return nullptr;
    }
    log_record("using restore_filename: ", restore_filename);
    const bool written = write_all(fd, text);
    const int write_errno = errno;
    const bool closed = close(fd) == 0;
    if (!written || !closed) {
        log_record("cannot write restore file ", restore_filename, ": ", std::strerror(written ? errno : write_errno));
        std::remove(restore_filename.c_str());
        return nullptr;
    }
    auto file = std::make_unique<FileInTmp>(family, restore_filename);
    file->counts = iptables_carries_counts(text);
    return file;
}

// With both families on, the two test runs go on side by side (neither
// changes anything, and a host has more than one core).
std::vector<ToolVerdict> IptablesFilter::test(const std::vector<RestoreFile *> &files)
{
    std::vector<std::string> commands;
    for (const RestoreFile *file : files)
        commands.push_back(command(tools_of(file->family()).restore_tool, file->counts ? " -c" : "", " --test ",
                                   file->name()));
    return run_restores(commands);
}

ToolVerdict IptablesFilter::install(RestoreFile &file)
{
    return run_restores({command(tools_of(file.family()).restore_tool, file.counts ? " -c" : "", " -n ", file.name())})[0];
}

std::unique_ptr<TableRead> IptablesFilter::read_table(const Family &family, Records records)
{
    return std::make_unique<SavedTableRead>(family, records);
}

int IptablesFilter::read_position(const Family &family, int position, PositionRead &read)
{
    read = PositionRead{};
    const int status =
        exec(command(tools_of(family).tool, " -vn -L ", chain_name, " ", std::to_string(position), " --exact"),
             read.output);
    if (status == 0)
        read_position_listing(read);
    return status;
}

std::unique_ptr<StandingRead> IptablesFilter::read_standing(const Family &family)
{
    return std::make_unique<IndexChainRead>(family);
}

std::unique_ptr<KeptChains> IptablesFilter::keep(const Family &family, const StandingLayout *standing)
{
    return std::make_unique<ListedChains>(*this, family, standing);
}

int IptablesFilter::read_input(const Family &family, InputChain &input)
{
    std::string listing;
    const int status = capture({tools_of(family).tool, "-S", "INPUT"}, listing);
    if (status == 0)
        input = read_input_rules(listing);
    return status;
}

bool IptablesFilter::read_chain_lines(const Family &family, int &lines)
{
    std::string listing;
    lines = 0;
    if (capture({tools_of(family).tool, "-S", chain_name}, listing, true) != 0)
        return false;
    const std::string append = std::string("-A ") + chain_name + " ";
    std::istringstream in(listing);
    std::string line;
    while (std::getline(in, line))
        lines += line.rfind(append, 0) == 0 ? 1 : 0;
    return true;
}

int IptablesFilter::glance(const Family &family, Glance &glance)
{
    // One listing of the whole filter table: where its rules are many, the
    // cheapest way to see the hook and the chain at once.
    std::string saved;
    const int status = capture({tools_of(family).save_tool, "-t", "filter"}, saved, true);
    if (status == 0)
        glance = glance_of(saved);
    return status;
}

std::string_view IptablesFilter::line_chain(std::string_view line)
{
    return iptables_line_chain(line);
}

ChainSection IptablesFilter::installed_section(const Family &family, const std::string &restore_text)
{
    return iptables_installed_section(family, restore_text);
}

InputView IptablesFilter::read_input_view(const FilterTable &table)
{
    return iptables_input_view(table);
}

int IptablesFilter::prepare()
{
    std::string words;
    return capture({tools::firewall_script, "prepare"}, words);
}

int IptablesFilter::insert_hook(const Family &family, std::size_t position)
{
    std::string words;
    std::vector<std::string> argv = {tools_of(family).tool, position == 0 ? "-A" : "-I", "INPUT"};
    if (position != 0)
        argv.push_back(std::to_string(position));
    for (const char *word : {"-m", "state", "--state", "NEW", "-j"})
        argv.emplace_back(word);
    argv.emplace_back(chain_name);
    return capture(argv, words, true);
}

int IptablesFilter::delete_input_line(const Family &family, std::size_t position)
{
    std::string words;
    return capture({tools_of(family).tool, "-D", "INPUT", std::to_string(position)}, words, true);
}

void IptablesFilter::setup_default_chain()
{
    do_system_call(command(tools::firewall_script, " prepare"));
    for (const Family *family : active_families()) {
        const char *tool = tools_of(*family).tool;
        do_system_call(command(tool, " -N ", chain_name));
        do_system_call(command(tool, " -D INPUT -m state --state NEW -j ", chain_name));
        do_system_call(command(tool, " -A INPUT -m state --state NEW -j ", chain_name));
    }
}

void IptablesFilter::setup_hook(int where)
{
    std::string ignored;
    if ((where & ZVN_HOOK_NO_PREPARE) == 0)
        capture({tools::firewall_script, "prepare"}, ignored);
    where &= ~ZVN_HOOK_NO_PREPARE;
    const std::vector<std::string> hook = {"INPUT", "-m", "state", "--state", "NEW", "-j", chain_name};
    const auto with = [&](std::vector<std::string> head) {
        head.insert(head.end(), hook.begin(), hook.end());
        return head;
    };
    for (const Family *family : active_families()) {
        const std::string tool = tools_of(*family).tool;
        capture({tool, "-N", chain_name}, ignored, true);
        const bool hooked = capture(with({tool, "-C"}), ignored, true) == 0;
        if (where == ZVN_HOOK_KEEP && hooked)
            continue;
        if (where != ZVN_HOOK_KEEP)
            for (int removed = 0; removed < 64 && capture(with({tool, "-D"}), ignored, true) == 0; ++removed) {
            }
        if (where == ZVN_HOOK_FIRST) {
            std::vector<std::string> insert = {tool, "-I", "INPUT", "1"};
            insert.insert(insert.end(), hook.begin() + 1, hook.end());
            capture(insert, ignored, true);
        } else {
            capture(with({tool, "-A"}), ignored, true);
        }
    }
}

int IptablesFilter::zero(const Family &family)
{
    return do_system_call(command(tools_of(family).tool, " -Z ", chain_name));
}

// "iptables-restore -n" of "-Z" lines for every sub-chain that stands.
int IptablesFilter::zero_subchains(const Family &family)
{
    const auto look = read_standing(family);
    const StandingLayout &standing = look->standing();
    if (standing.subchains == 0)
        return 0;
    std::string text = "*filter\n";
    for (std::size_t k = 1; k <= standing.subchains; ++k)
        text += "-Z " + layout_chain_name(k) + "\n";
    text += "COMMIT\n";
    return install_text(family, text);
}

int IptablesFilter::watch()
{
    Monitor &watch = monitor();
    if (watch.program)
        return 1;
    std::string version;
    if (capture({tools::iptables, "-V"}, version, true) != 0 || version.find("nf_tables") == std::string::npos ||
        access(tools::xtables_monitor, X_OK) != 0 || access(tools::stdbuf, X_OK) != 0)
        return 0;
    // Its complaints (a socket that overflowed, lines it cannot print) come
    // down the same pipe: they are changes too, and never the caller's log.
    watch.program = std::make_unique<Program>(
        std::vector<std::string>{tools::stdbuf, "-oL", tools::xtables_monitor, "-e"}, 1, Program::Mode::piped,
        Program::Words::merged);
    return 1;
}

int IptablesFilter::changes_seen()
{
    Monitor &watch = monitor();
    if (!watch.program)
        return -1;
    const std::size_t before = watch.output.size();
    const bool open = watch.program->read_available(watch.output);
    const bool seen = watch.output.size() > before;
    if (watch.output.size() > 65536)
        watch.output.clear();
    if (!open) {
        // The monitor ended: watch again from the next call, and say
        // "changed" so that the caller looks.
        watch.program->stop();
        watch.program.reset();
        watch.output.clear();
        return 2;
    }
    return seen ? 1 : 0;
}

}  // namespace zvn
