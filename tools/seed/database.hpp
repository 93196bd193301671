#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;

namespace seed {

class DatabaseError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Builds rows in PostgreSQL's COPY text format and hands them to the server in large chunks.
class CopyWriter {
  public:
    explicit CopyWriter(std::function<void(std::string_view)> send);

    CopyWriter& text(std::string_view value);
    CopyWriter& integer(std::int64_t value);
    CopyWriter& real(double value, int decimals);
    CopyWriter& null();
    // The buffer to append a field's raw text to (hex EWKB needs no escaping).
    std::string& raw();
    void end_row();
    void flush();
    std::uint64_t rows() const noexcept { return rows_; }

  private:
    void separate();
    std::function<void(std::string_view)> send_;
    std::string buffer_;
    bool row_started_ = false;
    std::uint64_t rows_ = 0;
};

// A blocking libpq connection; a tool that runs one step after another needs nothing more.
class Connection {
  public:
    explicit Connection(const std::string& url);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void execute(const std::string& sql);
    // Every row of the result, each field as text.
    std::vector<std::vector<std::string>> query(const std::string& sql);
    // Runs `COPY ... FROM STDIN` and lets `fill` write the rows; returns the row count.
    std::uint64_t copy_in(const std::string& copy_statement,
                          const std::function<void(CopyWriter&)>& fill);
    std::string quote_identifier(std::string_view name);
    // "host:port/database", for progress lines without any password.
    std::string describe() const;

  private:
    struct Finish {
        void operator()(pg_conn* connection) const noexcept;
    };
    [[noreturn]] void fail(const std::string& what) const;
    std::unique_ptr<pg_conn, Finish> connection_;
};

}  // namespace seed
