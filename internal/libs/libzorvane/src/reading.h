// One reading of the packet filter, several questions: each active
// family's filter table listed once with its counters (started at once, so
// that the tools run while the caller reads its rule set), and what it
// shows of the chain and its hook, whether it holds a rule set, and each
// rule's counts.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "counts.h"
#include "lock.h"
#include "packet_filter.h"
#include "proof.h"
#include "rule_model.h"

namespace zvn {

struct Family;

class TableReading {
public:
    // Takes the lock (locked() is false where it was not had) and starts
    // each active family's read. The lock is held until every table is
    // read.
    explicit TableReading(Records records);
    ~TableReading();
    TableReading(const TableReading &) = delete;
    TableReading &operator=(const TableReading &) = delete;
    bool locked() const { return locked_; }
    const std::vector<const Family *> &families() const { return families_; }
    // Waits for a family's table, telling sink its lines as they come (the
    // first time only): the read's raw status.
    int finish(std::size_t family, LineSink *sink = nullptr);
    const FilterTable &table(std::size_t family) const;
    // The proof of a family's table against a set: made as the table comes
    // where it is not read yet, else of the table read. The read's status.
    int prove(std::size_t family, const RuleSet &set, TableProof &proof);

private:
    std::optional<ChainLock> lock_;
    bool locked_ = false;
    std::vector<const Family *> families_;
    std::vector<std::unique_ptr<TableRead>> reads_;
    std::vector<bool> finished_;
    std::vector<int> statuses_;
};

// The questions. Each is 0, or the status of a read that failed (with the
// error channel's entry), or -1 (the error channel says why).
int counts_of(TableReading &reading, const RuleSet &set, RuleCounts &counts);
// Per family {"chain","holds","layout","chains","lines","expected_lines",
// "holding_lines","deepest_walk"|"differs"}.
int verify_of(TableReading &reading, const RuleSet &set, nlohmann::json &result);
// Per family {"chain","hooks","rule_lines","policy","input_rules",
// "hook_position","ahead"}.
int status_of(TableReading &reading, nlohmann::json &result);

}  // namespace zvn

// The exported handle of a reading.
struct zvn_table {
    explicit zvn_table(zvn::Records records) : reading(records) {}
    zvn::TableReading reading;
};
