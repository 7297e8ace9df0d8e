// zvn_util: command-line front end of libzorvane. Finds the debug flag and
// one command among its arguments, runs it, and exits with the result.

#include <libzorvane.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

// The built-in sample rule set: twelve rules that use every kind of key.
const char test_rules[] =
    "[{\"interface\" : \"eth3\",\"src_IP_cidr\" : \"10.0.0.1/24\",\"protocol\" : \"icmp\",\"allow\" : true},"
    "{\"interface\" : \"\",\"src_IP_cidr\" : \"10.0.0.1/24\",\"protocol\" : \"udp\",\"dports_list\" : [\"123\", \"456\",\"789\",\"1000:1020\"],\"allow\" : true},"
    "{\"interface\" : \"\",\"src_IP_cidr\" : \"10.0.1.0/24\",\"protocol\" : \"tcp\",\"dports_list\" : [],\"allow\" : true},"
    "{\"interface\" : \"eth3\",\"src_IP_range\" : \"10.0.3.1-10.0.3.200\",\"protocol\" : \"icmp\",\"allow\" : false},"
    "{\"interface\" : \"eth3\",\"src_country\" : [\"US\"],\"protocol\" : \"icmp\",\"allow\" : false},"
    "{\"interface\" : \"eth3\",\"src_country\" : [\"GB\",\"LT\",\"NE\",\"NA\",\"VG\",\"MZ\",\"AQ\",\"AO\",\"AS\",\"AT\",\"AX\",\"AZ\",\"BA\",\"BB\"],\"protocol\" : \"icmp\",\"allow\" : false},"
    "{\"interface\" : \"eth3\",\"protocol\" : \"icmp\",\"allow\" : false},"
    "{\"interface\" : \"eth3\",\"src_IP_cidr\" : \"\",\"src_IP_range\" : \"\",\"protocol\" : \"\",\"allow\" : true},"
    "{\"interface\" : \"eth2\",\"src_IP_cidr\" : \"\",\"src_IP_range\" : \"\",\"protocol\" : \"\",\"allow\" : false},"
    "{\"interface\" : \"eth2\",\"protocol\" : \"icmp\",\"allow\" : false},"
    "{\"interface\" : \"eth3\",\"src_country\" : [],\"protocol\" : \"icmp\",\"allow\" : false},"
    "{\"allow\" : true}]";

// The shell sees only the low eight bits of an exit status, and a raw
// system() status such as 256 (a command that exited with 1) would read as
// success. A failure therefore never exits 0: the low bits when they are set
// (-1 gives 255), else the failing command's own exit code, else 1.
int exit_status_of(int result)
{
    if (result == 0)
        return 0;
    const unsigned int bits = static_cast<unsigned int>(result);
    if ((bits & 0xffu) != 0)
        return static_cast<int>(bits & 0xffu);
    if (((bits >> 8) & 0xffu) != 0)
        return static_cast<int>((bits >> 8) & 0xffu);
    return 1;
}

[[noreturn]] void finish(int result)
{
    std::exit(exit_status_of(result));
}

// ---------------------------------------------------------------------------
// Command handlers: each ends the process.
// ---------------------------------------------------------------------------

[[noreturn]] void apply_rules_cmd(int /*argc*/, char *argv[], int argi)
{
    finish(zvn_apply_rules_json(argv[argi + 1]));
}

[[noreturn]] void setup_default_chain_cmd(int, char *[], int)
{
    setup_default_chain();
    finish(0);
}

[[noreturn]] void reset_counter_cmd(int, char *[], int)
{
    finish(reset_counter());
}

[[noreturn]] void test_apply_rules_cmd(int, char *[], int)
{
    std::cout << "Test:" << std::endl;
    std::cout << test_rules << std::endl;
    const int ret = zvn_apply_rules_json(test_rules);
    std::cout << "ret=" << ret << std::endl;
    finish(ret);
}

[[noreturn]] void test_get_rule_count_cmd(int, char *[], int)
{
    char output[2048];
    const int ret = zvn_get_rule_count_json(test_rules, output, sizeof output);
    std::cout << "ret=" << ret << std::endl;
    if (ret == 0)
        std::cout << "output=" << output << std::endl;
    finish(ret);
}

// ---------------------------------------------------------------------------
// Command table
// ---------------------------------------------------------------------------

struct cmds {
    std::string cmd;
    int arg_number;
    void (*func)(int argc, char *argv[], int argi);
    std::string help_string;
};

const std::vector<cmds> Cmds = {
    {"apply_rules", 1, apply_rules_cmd, "<rules>"},
    {"setup_default_chain", 0, setup_default_chain_cmd, ""},
    {"reset_counter", 0, reset_counter_cmd, ""},
    {"test_apply_rules", 0, test_apply_rules_cmd, ""},
    {"test_get_rule_count", 0, test_get_rule_count_cmd, ""},
};

}  // namespace

int main(int argc, char *argv[])
{
    // The flag stays in the vector: it names no command, and directly after
    // "apply_rules" it is that command's rule set.
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-d" || arg == "--debug") {
            enable_log();
            break;
        }
    }
    for (int i = 0; i < argc; ++i)
        for (const auto &row : Cmds)
            if (row.cmd == argv[i] && i + row.arg_number < argc)
                row.func(argc, argv, i);

    if (argc == 0)
        return 0;
    std::cout << argv[0] << " Commands:" << std::endl;
    for (const auto &row : Cmds)
        std::cout << argv[0] << " [-d|--debug] " << row.cmd << " " << row.help_string << std::endl;
    return 0;
}
