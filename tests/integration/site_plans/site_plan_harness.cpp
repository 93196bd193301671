#include "site_plan_harness.hpp"

#include "site_plans/routes.hpp"
#include "support.hpp"

#include "host/router.hpp"
#include "host/runtime.hpp"

#include <fstream>
#include <map>
#include <memory>

namespace kavara::test::site_plans {
namespace {

std::string file_text(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

const host::http::App& app() {
    static const auto instance = [] {
        auto routes = std::make_unique<host::http::App>();
        routes->mount(::site_plans::router());
        return routes;
    }();
    return *instance;
}

const ScratchDatabase& fixture_database() {
    static const auto database = [] {
        auto db = std::make_unique<ScratchDatabase>("siteplan");
        db->rows(file_text(source_dir() / "scripts/sql/schema.sql"));
        db->rows(file_text(source_dir() / "tests/integration/site_plans/fixture.sql"));
        return db;
    }();
    return *database;
}

std::shared_ptr<host::database::Pool> pool_for(const std::string& url) {
    // The loop is made first, so it outlives the pools' connections at exit.
    host::event_loop();
    static std::map<std::string, std::shared_ptr<host::database::Pool>> pools;
    auto& pool = pools[url];
    if (!pool)
        pool = host::database::Pool::create(host::event_loop().get_executor(),
                                            {.conninfo = url, .size = 2});
    return pool;
}

void route_requests_to(const std::string& url) {
    host::database::set_default_pool(pool_for(url));
}

host::http::Request get_request(std::string_view target) {
    host::http::Request request;
    request.method = "GET";
    request.target = std::string(target);
    auto question = target.find('?');
    request.path = std::string(target.substr(0, question));
    if (question != std::string_view::npos)
        request.query = std::string(target.substr(question + 1));
    request.client_host = "127.0.0.1";
    return request;
}

host::http::Response get(std::string_view target) {
    return run(app().handle(get_request(target)));
}

nlohmann::ordered_json json_body(const host::http::Response& response) {
    return nlohmann::ordered_json::parse(response.body.view());
}

std::string detail(const host::http::Response& response) {
    auto body = json_body(response);
    return body["detail"].is_string() ? body["detail"].get<std::string>() : body["detail"].dump();
}

}  // namespace kavara::test::site_plans
