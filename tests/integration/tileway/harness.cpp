#include "harness.hpp"

#include "host/database.hpp"
#include "host/runtime.hpp"
#include "tileway/routes.hpp"

#include <fmt/format.h>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <stdexcept>

namespace kavara::test::tileway {
namespace {

struct Loaded {
    Servers servers;
    std::shared_ptr<const ::tileway::Service> service;
    host::http::App app;
};

Loaded*& loaded() {
    static Loaded* instance = nullptr;
    return instance;
}

}  // namespace

Servers shared_servers() {
    return {redis_port(), database_url()};
}

host::http::App& load_app(const Servers& servers) {
    if (auto* instance = loaded()) {
        if (instance->servers.redis_port != servers.redis_port ||
            instance->servers.database_url != servers.database_url)
            throw std::logic_error("the tile service is already loaded against other servers");
        return instance->app;
    }
    host::database::configure_default_pool({.conninfo = servers.database_url});
    // The tests' own statements (sql()) go to the same database.
    ::setenv("DATABASE_URL", servers.database_url.c_str(), 1);
    auto service = std::make_shared<const ::tileway::Service>(
        ::tileway::Settings{.redis = {.redis_host = "127.0.0.1", .redis_port = servers.redis_port}},
        host::event_loop().get_executor());
    // Never freed: the service lives as long as the process, like in the server.
    loaded() = new Loaded{servers, service, host::http::App()};
    loaded()->app.mount(::tileway::make_router(service));
    return loaded()->app;
}

ScratchRedis& program_redis() {
    static ScratchRedis redis;
    return redis;
}

host::http::App& app() {
    if (!loaded())
        throw std::logic_error("load_app has not been called");
    return loaded()->app;
}

const std::shared_ptr<const ::tileway::Service>& service() {
    if (!loaded())
        throw std::logic_error("load_app has not been called");
    return loaded()->service;
}

std::string fresh_client() {
    static std::atomic<unsigned> counter{0};
    const unsigned n = counter++;
    const unsigned pid = static_cast<unsigned>(::getpid());
    return fmt::format("10.{}.{}.{}", pid % 251, (pid / 251 + n / 250) % 251, n % 250 + 1);
}

namespace {

host::http::Request make_request(std::string method, std::string_view target,
                                 const std::optional<std::string>& client) {
    host::http::Request req;
    req.method = std::move(method);
    req.target = std::string(target);
    const auto question = target.find('?');
    req.path = std::string(target.substr(0, question));
    if (question != std::string_view::npos)
        req.query = std::string(target.substr(question + 1));
    req.client_host = client;
    return req;
}

}  // namespace

host::http::Response request(std::string method, std::string_view target,
                             const std::optional<std::string>& client) {
    const auto req = make_request(std::move(method), target, client);
    auto response = run(app().handle(req));
    settle();
    return response;
}

host::http::Response request(const host::http::App& app, std::string method,
                             std::string_view target, host::http::Headers headers) {
    auto req = make_request(std::move(method), target, fresh_client());
    req.headers = std::move(headers);
    auto response = run(app.handle(req));
    settle();
    return response;
}

std::vector<host::http::Response> get_concurrently(const std::vector<std::string>& targets,
                                                   const std::optional<std::string>& client,
                                                   std::vector<double>* seconds) {
    std::vector<host::http::Request> requests;
    for (const auto& target : targets)
        requests.push_back(make_request("GET", target, client));
    auto responses = run([&]() -> host::awaitable<std::vector<host::http::Response>> {
        namespace asio = boost::asio;
        auto executor = co_await asio::this_coro::executor;
        std::vector<std::optional<host::http::Response>> answers(requests.size());
        std::vector<double> took(requests.size());
        const auto start = std::chrono::steady_clock::now();
        std::size_t pending = requests.size();
        asio::steady_timer all_answered(executor, std::chrono::steady_clock::time_point::max());
        for (std::size_t i = 0; i < requests.size(); ++i) {
            asio::co_spawn(executor, app().handle(requests[i]),
                           [&, i](std::exception_ptr, host::http::Response response) {
                               answers[i] = std::move(response);
                               took[i] = seconds_since(start);
                               if (--pending == 0)
                                   all_answered.cancel();
                           });
        }
        boost::system::error_code cancelled;
        co_await all_answered.async_wait(asio::redirect_error(asio::use_awaitable, cancelled));
        if (seconds)
            *seconds = took;
        std::vector<host::http::Response> out;
        for (auto& answer : answers) {
            // App::handle never throws, so every request has its answer.
            if (!answer)
                throw std::logic_error("a request ended without an answer");
            out.push_back(std::move(*answer));
        }
        co_return out;
    }());
    settle();
    return responses;
}

host::http::Response get(std::string_view target, const std::optional<std::string>& client) {
    return request("GET", target, client);
}

host::http::Response post(std::string_view target, const std::optional<std::string>& client) {
    return request("POST", target, client);
}

nlohmann::json json_body(const host::http::Response& response) {
    return nlohmann::json::parse(response.body.view());
}

std::string detail(const host::http::Response& response) {
    return json_body(response).value("detail", std::string("<no detail>"));
}

namespace {

host::redis::Options inspector_options(std::uint16_t port) {
    host::redis::Options options;
    options.host = "127.0.0.1";
    options.port = port;
    return options;
}

}  // namespace

RedisInspector::RedisInspector(std::uint16_t port)
    : client_(host::event_loop().get_executor(), inspector_options(port)) {}

RedisInspector::~RedisInspector() = default;

host::redis::Reply RedisInspector::command(std::vector<std::string> args) {
    return run([&]() -> host::awaitable<host::redis::Reply> {
        std::vector<std::string_view> views(args.begin(), args.end());
        co_return co_await client_.command(views);
    }());
}

std::optional<std::string> RedisInspector::get(const std::string& key) {
    auto reply = command({"GET", key});
    if (reply.is_nil())
        return std::nullopt;
    return reply.str.str();
}

void RedisInspector::set(const std::string& key, const std::string& value) {
    command({"SET", key, value});
}

void RedisInspector::del(const std::string& key) {
    command({"DEL", key});
}

bool RedisInspector::exists(const std::string& key) {
    return command({"EXISTS", key}).integer == 1;
}

std::int64_t RedisInspector::ttl(const std::string& key) {
    return command({"TTL", key}).integer;
}

std::int64_t RedisInspector::pttl(const std::string& key) {
    return command({"PTTL", key}).integer;
}

std::vector<std::string> RedisInspector::keys(const std::string& pattern) {
    std::vector<std::string> found;
    std::string cursor = "0";
    do {
        auto reply = command({"SCAN", cursor, "MATCH", pattern, "COUNT", "1000"});
        cursor = reply.elements.at(0).str.str();
        for (const auto& key : reply.elements.at(1).elements)
            found.push_back(key.str.str());
    } while (cursor != "0");
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

void RedisInspector::del_matching(const std::string& pattern) {
    for (const auto& key : keys(pattern))
        del(key);
}

bool run_loop_until(const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        run([]() -> host::awaitable<void> {
            boost::asio::steady_timer tick(co_await boost::asio::this_coro::executor,
                                           std::chrono::milliseconds(10));
            co_await tick.async_wait(boost::asio::use_awaitable);
        }());
    }
    return true;
}

std::vector<std::string> tileway_lines(const host::logging::Capture& capture,
                                       spdlog::level::level_enum level) {
    return capture.messages("kavara.tileway", level);
}

std::string TileAddress::path() const {
    return fmt::format("{}/{}/{}", z, x, y);
}

TileAddress tile_at(double lon, double lat, std::int64_t z) {
    const double n = std::ldexp(1.0, static_cast<int>(z));
    const double lat_rad = lat * std::numbers::pi / 180.0;
    const auto x = static_cast<std::int64_t>(std::floor((lon + 180.0) / 360.0 * n));
    const auto y = static_cast<std::int64_t>(
        std::floor((1.0 - std::asinh(std::tan(lat_rad)) / std::numbers::pi) / 2.0 * n));
    return {z, x, y};
}

TileAddress tile_with_plots(std::int64_t z) {
    auto rows = sql(R"(SELECT ST_X(c) || ' ' || ST_Y(c) FROM (
                           SELECT ST_Transform(ST_Centroid("GEOMETRY"), 4326) AS c
                           FROM "GIS"."PLOT" ORDER BY "ID" LIMIT 1) AS first_plot)");
    if (rows.empty())
        throw std::runtime_error("the database holds no plots");
    double lon = 0, lat = 0;
    if (std::sscanf(rows[0].c_str(), "%lf %lf", &lon, &lat) != 2)
        throw std::runtime_error("unexpected centre: " + rows[0]);
    return tile_at(lon, lat, z);
}

std::string to_hex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 0xf]);
    }
    return out;
}

}  // namespace kavara::test::tileway
