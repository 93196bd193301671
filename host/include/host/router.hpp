#pragma once

#include "host/cors.hpp"
#include "host/http.hpp"
#include "host/runtime.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace host::database {
class Session;
}

namespace host::http {

enum class ParamIn { path, query };
enum class ParamType { text, integer, real, boolean };
enum class ResponseKind { json, raw };

using ParamValue = std::variant<std::string, std::int64_t, double, bool>;

// A declared path or query parameter. A query parameter without a default is required. An
// integer given below `minimum` is refused like an ill-typed one.
struct Param {
    std::string name;
    ParamIn in = ParamIn::query;
    ParamType type = ParamType::text;
    std::optional<ParamValue> default_value = std::nullopt;
    std::string description = {};
    std::optional<std::int64_t> minimum = std::nullopt;
};

// Conversions used for path and query values; they reject trailing junk, out-of-range integers
// and non-finite reals.
std::optional<std::int64_t> parse_integer(std::string_view text);
std::optional<double> parse_real(std::string_view text);
std::optional<bool> parse_boolean(std::string_view text);

class Call;
using Handler = std::function<awaitable<Response>(Call&)>;

struct Route {
    std::string method;  // "GET", "POST", ...
    std::string path;    // template relative to the router prefix: "/{layer_name}/{z}/{x}/{y}.pbf"
    std::string name;    // handler name, published in the API document
    std::string description = {};
    ResponseKind response = ResponseKind::json;
    std::vector<Param> params = {};
    bool uses_db = false;  // the framework supplies a database session (get_db) for the request
    Handler handler = {};
    // Pages of other origins may call it, as far as the application's CORS policy allows.
    bool cross_origin = false;
};

// A set of routes under one path prefix, mounted by the host.
class Router {
  public:
    explicit Router(std::string prefix = "", std::vector<std::string> tags = {});
    void add(Route route);
    const std::string& prefix() const noexcept { return prefix_; }
    const std::vector<std::string>& tags() const noexcept { return tags_; }
    const std::vector<Route>& routes() const noexcept { return routes_; }

  private:
    std::string prefix_;
    std::vector<std::string> tags_;
    std::vector<Route> routes_;
};

// What a handler receives: the request, converted parameters and, when the route asks for it,
// the request's database session.
class Call {
  public:
    Call(const Request& request, std::map<std::string, ParamValue, std::less<>> values,
         database::Session* db);

    // The request being answered; it outlives the call.
    const Request& request() const noexcept { return request_; }
    const std::string& text(std::string_view name) const;
    std::int64_t integer(std::string_view name) const;
    double real(std::string_view name) const;
    bool boolean(std::string_view name) const;
    // Only for routes declared with uses_db.
    database::Session& db() const;

  private:
    const ParamValue& value(std::string_view name) const;
    const Request& request_;
    std::map<std::string, ParamValue, std::less<>> values_;
    database::Session* db_;
};

// The routing table of the host: mounted routers, matching, parameter conversion and the
// mapping of failures to answers (HTTPException -> its status, anything else -> 500).
class App {
  public:
    App();
    ~App();
    App(App&&) noexcept;
    App& operator=(App&&) noexcept;

    void mount(const Router& router);
    // Registers a route with its full path (no prefix).
    void add(Route route);
    // Asked for requests whose path no route matches, before they are answered 404; files of a
    // web page are served this way so that they can never shadow an API route.
    using Fallback = std::function<std::optional<Response>(const Request&)>;
    void set_fallback(Fallback fallback);
    // The policy of the routes marked cross_origin; without one no CORS header is sent and
    // OPTIONS is answered 405.
    void set_cors(CorsPolicy policy);

    // Answers one request. Never throws.
    awaitable<Response> handle(const Request& request) const;

    // The API document: every route with method, path, description and parameters.
    nlohmann::ordered_json openapi(std::string_view title) const;

  private:
    std::optional<Response> try_fallback(const Request& request) const;
    awaitable<Response> answer(const Request& request, std::string_view& route_label) const;
    struct Table;
    std::unique_ptr<Table> table_;
};

}  // namespace host::http
