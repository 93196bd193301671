#include "database.hpp"

#include <libpq-fe.h>

#include <array>
#include <charconv>

namespace seed {
namespace {

// Chunks of this size keep the socket busy without holding a table's text in memory.
constexpr std::size_t copy_chunk = 1 << 20;

struct ResultDeleter {
    void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

}  // namespace

CopyWriter::CopyWriter(std::function<void(std::string_view)> send) : send_(std::move(send)) {
    buffer_.reserve(copy_chunk + copy_chunk / 4);
}

void CopyWriter::separate() {
    if (row_started_)
        buffer_ += '\t';
    row_started_ = true;
}

CopyWriter& CopyWriter::text(std::string_view value) {
    separate();
    for (char c : value) {
        switch (c) {
            case '\\':
                buffer_ += "\\\\";
                break;
            case '\t':
                buffer_ += "\\t";
                break;
            case '\n':
                buffer_ += "\\n";
                break;
            case '\r':
                buffer_ += "\\r";
                break;
            default:
                buffer_ += c;
        }
    }
    return *this;
}

CopyWriter& CopyWriter::integer(std::int64_t value) {
    separate();
    std::array<char, 24> digits;
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
    buffer_.append(digits.data(), end);
    return *this;
}

CopyWriter& CopyWriter::real(double value, int decimals) {
    separate();
    std::array<char, 64> digits;
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value,
                                   std::chars_format::fixed, decimals)
                         .ptr;
    buffer_.append(digits.data(), end);
    return *this;
}

CopyWriter& CopyWriter::null() {
    separate();
    buffer_ += "\\N";
    return *this;
}

std::string& CopyWriter::raw() {
    separate();
    return buffer_;
}

void CopyWriter::end_row() {
    buffer_ += '\n';
    row_started_ = false;
    ++rows_;
    if (buffer_.size() >= copy_chunk)
        flush();
}

void CopyWriter::flush() {
    if (buffer_.empty())
        return;
    send_(buffer_);
    buffer_.clear();
}

void Connection::Finish::operator()(pg_conn* connection) const noexcept {
    PQfinish(connection);
}

Connection::Connection(const std::string& url) : connection_(PQconnectdb(url.c_str())) {
    if (!connection_)
        throw DatabaseError("out of memory connecting to the database");
    if (PQstatus(connection_.get()) != CONNECTION_OK)
        fail("cannot connect");
}

Connection::~Connection() = default;

void Connection::fail(const std::string& what) const {
    std::string message = PQerrorMessage(connection_.get());
    while (!message.empty() && message.back() == '\n')
        message.pop_back();
    throw DatabaseError(what + ": " + message);
}

void Connection::execute(const std::string& sql) {
    Result result(PQexec(connection_.get(), sql.c_str()));
    const auto status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        fail("statement failed");
}

std::vector<std::vector<std::string>> Connection::query(const std::string& sql) {
    Result result(PQexec(connection_.get(), sql.c_str()));
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK)
        fail("query failed");
    std::vector<std::vector<std::string>> rows(static_cast<std::size_t>(PQntuples(result.get())));
    for (int r = 0; r < PQntuples(result.get()); ++r)
        for (int c = 0; c < PQnfields(result.get()); ++c)
            rows[static_cast<std::size_t>(r)].emplace_back(PQgetvalue(result.get(), r, c));
    return rows;
}

std::uint64_t Connection::copy_in(const std::string& copy_statement,
                                  const std::function<void(CopyWriter&)>& fill) {
    {
        Result start(PQexec(connection_.get(), copy_statement.c_str()));
        if (PQresultStatus(start.get()) != PGRES_COPY_IN)
            fail("cannot start " + copy_statement);
    }
    PGconn* connection = connection_.get();
    CopyWriter writer([this, connection](std::string_view chunk) {
        if (PQputCopyData(connection, chunk.data(), static_cast<int>(chunk.size())) != 1)
            fail("sending COPY data failed");
    });
    fill(writer);
    writer.flush();
    if (PQputCopyEnd(connection, nullptr) != 1)
        fail("ending COPY failed");
    bool failed = false;
    while (Result result{PQgetResult(connection)}) {
        if (PQresultStatus(result.get()) != PGRES_COMMAND_OK)
            failed = true;
    }
    if (failed)
        fail(copy_statement);
    return writer.rows();
}

std::string Connection::quote_identifier(std::string_view name) {
    std::unique_ptr<char, decltype(&PQfreemem)> quoted(
        PQescapeIdentifier(connection_.get(), name.data(), name.size()), PQfreemem);
    if (!quoted)
        fail("cannot quote an identifier");
    return quoted.get();
}

std::string Connection::describe() const {
    const PGconn* c = connection_.get();
    return std::string(PQhost(c)) + ":" + PQport(c) + "/" + PQdb(c);
}

}  // namespace seed
