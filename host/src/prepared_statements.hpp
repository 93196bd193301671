#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace host::database {

// The statements one connection has prepared on the server, by their text, at most `capacity`
// of them; making room for one more evicts the one used longest ago, whose name is then due to
// be deallocated on the server. Names are never reused on a connection, so a name that only one
// side still knows never stands for another statement. No I/O: the connection sends what it
// says.
class PreparedStatements {
  public:
    explicit PreparedStatements(std::size_t capacity) : capacity_(capacity) {}
    PreparedStatements(const PreparedStatements&) = delete;
    PreparedStatements& operator=(const PreparedStatements&) = delete;

    // A capacity of zero prepares nothing: every statement is parsed and planned afresh.
    bool enabled() const noexcept { return capacity_ > 0; }
    std::size_t size() const noexcept { return by_text_.size(); }

    // The server's name of a prepared statement, which counts as a use; null when unknown.
    std::optional<std::string> find(std::string_view sql);
    // A fresh name for a statement about to be prepared; evicts one when full, so that the
    // server holds at most `capacity` once the evicted ones are deallocated.
    std::string reserve();
    // Records a statement the server has prepared under a name from reserve().
    void add(std::string sql, std::string name);
    // Stops using a statement the server has lost or can no longer run; its name is due to be
    // deallocated like an evicted one (a server that has lost it says so, harmlessly).
    void retire(std::string_view sql);
    // The evicted names not yet deallocated; the caller sends the DEALLOCATEs.
    std::vector<std::string> take_evicted() { return std::exchange(evicted_, {}); }

  private:
    struct Entry {
        std::string sql;
        std::string name;
    };

    void evict_least_recent();
    void evict(std::list<Entry>::iterator entry);

    std::size_t capacity_;
    std::uint64_t next_number_ = 1;
    std::list<Entry> by_use_;  // the most recently used first
    // Keys view the texts held by `by_use_`, whose nodes never move.
    std::unordered_map<std::string_view, std::list<Entry>::iterator> by_text_;
    std::vector<std::string> evicted_;
};

}  // namespace host::database
