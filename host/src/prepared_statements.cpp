#include "prepared_statements.hpp"

#include <iterator>

namespace host::database {

std::optional<std::string> PreparedStatements::find(std::string_view sql) {
    auto found = by_text_.find(sql);
    if (found == by_text_.end())
        return std::nullopt;
    by_use_.splice(by_use_.begin(), by_use_, found->second);
    return found->second->name;
}

std::string PreparedStatements::reserve() {
    while (by_text_.size() >= capacity_ && !by_use_.empty())
        evict_least_recent();
    return "kavara_" + std::to_string(next_number_++);
}

void PreparedStatements::add(std::string sql, std::string name) {
    retire(sql);
    while (by_text_.size() >= capacity_ && !by_use_.empty())
        evict_least_recent();
    by_use_.push_front({std::move(sql), std::move(name)});
    by_text_.emplace(by_use_.front().sql, by_use_.begin());
}

void PreparedStatements::retire(std::string_view sql) {
    if (auto found = by_text_.find(sql); found != by_text_.end())
        evict(found->second);
}

void PreparedStatements::evict_least_recent() {
    evict(std::prev(by_use_.end()));
}

void PreparedStatements::evict(std::list<Entry>::iterator entry) {
    by_text_.erase(entry->sql);
    evicted_.push_back(std::move(entry->name));
    by_use_.erase(entry);
}

}  // namespace host::database
