// Reads the snapshot counts of one rule set over and over while other
// processes apply rule sets, and checks each answer against the chain as it
// stood at that moment: the lock is held across the read and a listing, so
// nothing changes in between. Counts (result 0) are allowed only while the
// chain holds exactly that rule set; otherwise the result must be -1 with
// "error" for every rule.
//
// usage: race_reader RULES EXPECTED_CHAIN_FILE STOP_FILE
// Reads until STOP_FILE exists; prints "reads R counted C refused F wrong W"
// and exits 1 on any wrong answer.
#include <libzorvane.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

std::string chain_now()
{
    std::string out;
    FILE *pipe = popen("/sbin/iptables -w -S ZORVANE 2>/dev/null", "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::cerr << "usage: race_reader RULES EXPECTED_CHAIN_FILE STOP_FILE\n";
        return 2;
    }
    const std::string rules = argv[1];
    std::ifstream in(argv[2]);
    std::stringstream expected;
    expected << in.rdbuf();
    const size_t rule_count = nlohmann::json::parse(rules).size();
    const char *stop_file = argv[3];
    int rounds = 0, counted = 0, refused = 0, wrong = 0;
    std::vector<char> buffer(4096);
    for (; rounds == 0 || access(stop_file, F_OK) != 0; ++rounds) {
        if (zvn_lock_chain() != 0) {
            std::cerr << "lock wait ran out\n";
            return 1;
        }
        const int ret = zvn_get_rule_count_snapshot_json(rules.c_str(), buffer.data(), buffer.size());
        const bool holds = chain_now() == expected.str();
        zvn_unlock_chain();
        usleep(10000);  // a poller, not a tight loop: the appliers get their turn
        const auto answer = nlohmann::json::parse(buffer.data(), nullptr, false);
        bool all_numbers = answer.is_array() && answer.size() == rule_count;
        bool all_errors = all_numbers;
        for (const auto &element : answer) {
            all_numbers = all_numbers && element.is_number_unsigned();
            all_errors = all_errors && element == "error";
        }
        if (ret == 0 && holds && all_numbers) {
            ++counted;
        } else if (ret == -1 && !holds && all_errors) {
            ++refused;
        } else {
            ++wrong;
            std::cerr << "wrong answer: result " << ret << ", chain holds the set: " << holds << ", buffer "
                      << buffer.data() << "\n";
        }
    }
    std::cout << "reads " << rounds << " counted " << counted << " refused " << refused << " wrong " << wrong
              << "\n";
    return wrong == 0 ? 0 : 1;
}
