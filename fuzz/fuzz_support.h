// Shared by the fuzz targets: they run only inside the fake sandbox, where a
// rule set that reaches the test run really runs the fake tools.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace zvn_fuzz {

// Aborts unless running in "sandbox.sh fake"; sets the listing answers.
void require_fake_sandbox();
// Forgets the fakes' calls and copies and removes restore files from /tmp.
void reset_state();
std::vector<std::string> fake_calls();
std::vector<std::string> restore_files_in_tmp();
// The lines of the K-th restore file the fakes were given ("" if none).
std::vector<std::string> restore_copy_lines(int k);
// The number of the copy that tool ("iptables-restore", ...) was handed
// first among copies 1 and 2: the two test runs go on side by side, so
// their copies come in either order.
int tested_copy(const std::string &tool);
// Checks the restore file the fakes were given (the copy-th) for a rule set
// that reached the test run: 3 + allowing + 2 x dropping lines of the rules
// of the family (1 IPv4, 2 IPv6, 0 every rule), every rule line in the
// chain, nothing outside its line.
void check_restore_file(const nlohmann::json &rules, int copy = 1, unsigned family = 0);
// For an apply's result: true (having checked that nothing was created or
// changed) when the text was refused; otherwise checks that it applied and
// left no restore file. A refused text runs no command, with one exception
// when both families are on: the listing of the IPv4 chain, which reads and
// changes nothing, may have started while the text was read.
bool apply_refused(int ret, bool ipv4_listing_allowed = false);
// Aborts with a message when the condition does not hold.
void require(bool condition, const char *what);

}  // namespace zvn_fuzz
