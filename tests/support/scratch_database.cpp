#include "scratch_database.hpp"

#include <libpq-fe.h>

#include <unistd.h>
#include <memory>
#include <stdexcept>

namespace kavara::test {
namespace {

// `url` with its database name replaced.
std::string with_database(const std::string& url, const std::string& name) {
    const auto host = url.find("://");
    const auto slash = url.find('/', host == std::string::npos ? 0 : host + 3);
    if (slash == std::string::npos)
        return url + "/" + name;
    const auto query = url.find('?', slash);
    return url.substr(0, slash + 1) + name + (query == std::string::npos ? "" : url.substr(query));
}

struct Connection {
    explicit Connection(const std::string& url) : handle(PQconnectdb(url.c_str()), PQfinish) {
        if (PQstatus(handle.get()) != CONNECTION_OK)
            throw std::runtime_error("connect " + url + ": " + PQerrorMessage(handle.get()));
        // "does not exist, skipping" notices of the clean-up statements are expected.
        PQsetNoticeProcessor(
            handle.get(), [](void*, const char*) {}, nullptr);
    }
    std::vector<std::vector<std::string>> rows(const std::string& sql) const {
        std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(handle.get(), sql.c_str()),
                                                              PQclear);
        const auto status = PQresultStatus(result.get());
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
            throw std::runtime_error("sql: " + std::string(PQerrorMessage(handle.get())) + sql);
        std::vector<std::vector<std::string>> out(
            static_cast<std::size_t>(PQntuples(result.get())));
        for (int r = 0; r < PQntuples(result.get()); ++r)
            for (int c = 0; c < PQnfields(result.get()); ++c)
                out[static_cast<std::size_t>(r)].emplace_back(PQgetvalue(result.get(), r, c));
        return out;
    }
    std::unique_ptr<PGconn, void (*)(PGconn*)> handle;
};

void on_server(const std::string& sql) {
    Connection(with_database(database_url(), "postgres")).rows(sql);
}

}  // namespace

ScratchDatabase::ScratchDatabase(const std::string& purpose)
    : name_("kavara_seedtest_" + purpose + "_" + std::to_string(::getpid())),
      url_(with_database(database_url(), name_)) {
    on_server("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    on_server("CREATE DATABASE " + name_);
}

ScratchDatabase::~ScratchDatabase() {
    try {
        on_server("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    } catch (const std::exception&) {
        // The server going away at the end of a run leaves nothing to clean up.
    }
}

std::vector<std::vector<std::string>> ScratchDatabase::rows(const std::string& sql) const {
    return Connection(url_).rows(sql);
}

std::string ScratchDatabase::value(const std::string& sql) const {
    const auto result = rows(sql);
    if (result.empty() || result[0].empty())
        throw std::runtime_error("no value: " + sql);
    return result[0][0];
}

long long ScratchDatabase::number(const std::string& sql) const {
    return std::stoll(value(sql));
}

}  // namespace kavara::test
