// The library as the command uses it.

#include "library.h"

#include <vector>

#include "command.h"

namespace zorvane {

int exit_status_for(int code)
{
    switch (code) {
    case ZVN_ERROR_NOT_JSON:
    case ZVN_ERROR_INVALID:
    case ZVN_ERROR_TEST_REFUSED:
    case ZVN_ERROR_CHAIN_TEXT:
        return 1;
    default:
        return 3;
    }
}

void fail_with_library(const std::string &what)
{
    const std::string why = zvn_last_error();
    throw Failure(exit_status_for(zvn_last_error_code()), what + (why.empty() ? "" : ": " + why));
}

std::optional<std::string> filled(const std::function<int(char *, std::size_t)> &call)
{
    std::vector<char> buffer(4096);
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int result = call(buffer.data(), buffer.size());
        if (result >= 0)
            return std::string(buffer.data());
        if (zvn_last_error_code() != ZVN_ERROR_BUFFER || zvn_last_error_size_needed() <= buffer.size())
            return std::nullopt;
        buffer.resize(zvn_last_error_size_needed());
    }
    return std::nullopt;
}

nlohmann::json json_of(const std::function<int(char *, std::size_t)> &call, const std::string &what)
{
    const auto text = filled(call);
    if (!text)
        fail_with_library(what);
    return nlohmann::json::parse(*text);
}

Rules::Rules(const std::string &text) : handle_(zvn_rules_parse_n(text.data(), text.size()))
{
    if (handle_ == nullptr)
        throw Failure(1, zvn_last_error());
}

std::optional<Rules> Rules::parse(const std::string &text)
{
    zvn_rules *handle = zvn_rules_parse_n(text.data(), text.size());
    if (handle == nullptr)
        return std::nullopt;
    return Rules(handle);
}

Rules::~Rules()
{
    zvn_rules_free(handle_);
}

Rules::Rules(Rules &&other) noexcept : handle_(other.handle_)
{
    other.handle_ = nullptr;
}

Rules &Rules::operator=(Rules &&other) noexcept
{
    if (this != &other) {
        zvn_rules_free(handle_);
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

std::size_t Rules::size() const
{
    return zvn_rules_size(handle_);
}

bool Rules::allows(std::size_t rule) const
{
    return zvn_rules_rule(handle_, rule, nullptr) == 1;
}

std::string Rules::description(std::size_t rule) const
{
    const char *words = nullptr;
    return zvn_rules_rule(handle_, rule, &words) >= 0 && words != nullptr ? words : "";
}

Table::Table() : handle_(zvn_table_read())
{
    if (handle_ == nullptr)
        fail_with_library("cannot read the packet filter");
}

Table::~Table()
{
    zvn_table_free(handle_);
}

nlohmann::json Table::status() const
{
    const auto families =
        json_of([this](char *out, std::size_t n) { return zvn_table_status_json(handle_, out, n); },
                "cannot read the packet filter");
    nlohmann::json status = families.value("ipv4", nlohmann::json::object());
    if (families.contains("ipv6"))
        status["ipv6"] = families["ipv6"];
    return status;
}

std::string refusal_words(const Rules &rules)
{
    const int rule = zvn_last_error_rule();
    std::string where;
    if (rule > 0)
        where = "rule " + std::to_string(rule) + " (" + rules.description(static_cast<std::size_t>(rule)) + ")";
    else
        where = "the rule set as a whole";
    const std::string words = zvn_last_error_tool_words();
    return "the test run refused " + where + ": " + (words.empty() ? "(the tool said no more)" : words) +
           "; nothing was changed";
}

}  // namespace zorvane
