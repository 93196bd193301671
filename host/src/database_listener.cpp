#include "host/database_listener.hpp"

#include "database_connection.hpp"
#include "database_params.hpp"

#include <cctype>
#include <stdexcept>
#include <string>

namespace host::database {
namespace {

bool plain_identifier(std::string_view name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name.front())))
        return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
            return false;
    return true;
}

}  // namespace

Listener::Listener(std::unique_ptr<Connection> connection) : connection_(std::move(connection)) {}

Listener::~Listener() = default;

awaitable<std::unique_ptr<Listener>> Listener::open(boost::asio::any_io_executor executor,
                                                    const PoolOptions& options,
                                                    std::string_view channel) {
    if (!plain_identifier(channel))
        throw std::invalid_argument("a notification channel is a plain identifier");
    const std::string listen = "LISTEN " + std::string(channel);
    auto connection = co_await Connection::open(executor, options);
    co_await connection->command(listen);
    co_return std::unique_ptr<Listener>(new Listener(std::move(connection)));
}

awaitable<Result> Listener::execute(std::string_view sql, const Params& params) {
    TranslatedSql statement = translate_named_params(sql, params);
    const TextParams values = to_text_params(statement.values);
    co_return co_await connection_->execute(statement.sql, values, {});
}

awaitable<std::size_t> Listener::wait() {
    co_return co_await connection_->wait_for_notifications();
}

bool Listener::broken() const noexcept {
    return connection_->broken();
}

}  // namespace host::database
