#include "host/router.hpp"

#include <fmt/format.h>
#include <array>
#include <chrono>
#include "host/metrics.hpp"

#include "host/database.hpp"
#include "host/logging.hpp"

#include <boost/url/decode_view.hpp>
#include <boost/url/params_view.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/parse_query.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>

namespace host::http {

// ---- parameter conversion -----------------------------------------------------------------

std::optional<std::int64_t> parse_integer(std::string_view text) {
    std::int64_t value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+')
        ++first;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || first == last)
        return std::nullopt;
    return value;
}

std::optional<double> parse_real(std::string_view text) {
    double value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+')
        ++first;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || first == last || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<bool> parse_boolean(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "true" || lower == "1" || lower == "yes" || lower == "on")
        return true;
    if (lower == "false" || lower == "0" || lower == "no" || lower == "off")
        return false;
    return std::nullopt;
}

// ---- Router and Call ------------------------------------------------------------------------

Router::Router(std::string prefix, std::vector<std::string> tags)
    : prefix_(std::move(prefix)), tags_(std::move(tags)) {}

void Router::add(Route route) {
    routes_.push_back(std::move(route));
}

Call::Call(const Request& request, std::map<std::string, ParamValue, std::less<>> values,
           database::Session* db)
    : request_(request), values_(std::move(values)), db_(db) {}

const ParamValue& Call::value(std::string_view name) const {
    auto it = values_.find(name);
    if (it == values_.end())
        throw std::out_of_range("no parameter named " + std::string(name));
    return it->second;
}

const std::string& Call::text(std::string_view name) const {
    return std::get<std::string>(value(name));
}
std::int64_t Call::integer(std::string_view name) const {
    return std::get<std::int64_t>(value(name));
}
double Call::real(std::string_view name) const {
    const auto& v = value(name);
    if (auto* i = std::get_if<std::int64_t>(&v))
        return static_cast<double>(*i);
    return std::get<double>(v);
}
bool Call::boolean(std::string_view name) const {
    return std::get<bool>(value(name));
}

database::Session& Call::db() const {
    if (!db_)
        throw std::logic_error("route was not declared with uses_db");
    return *db_;
}

// ---- routing table ----------------------------------------------------------------------------

namespace {

// One segment of a path template: a literal, or a parameter with optional literal text around
// it ("{y}.pbf").
struct Segment {
    bool is_param = false;
    std::string literal;  // whole segment for literals
    std::string name, prefix, suffix;
};

struct CompiledRoute {
    Route route;
    std::string full_path;
    std::vector<std::string> tags;
    std::vector<Segment> segments;
    std::size_t order = 0;
};

std::vector<std::string_view> split_path(std::string_view path) {
    std::vector<std::string_view> parts;
    if (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    std::size_t start = 0;
    while (true) {
        auto slash = path.find('/', start);
        parts.push_back(path.substr(start, slash - start));
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    return parts;
}

std::vector<Segment> compile(std::string_view path) {
    std::vector<Segment> segments;
    for (auto part : split_path(path)) {
        Segment seg;
        auto open = part.find('{');
        auto close = part.find('}');
        if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
            seg.is_param = true;
            seg.prefix = part.substr(0, open);
            seg.name = part.substr(open + 1, close - open - 1);
            seg.suffix = part.substr(close + 1);
        } else {
            seg.literal = part;
        }
        segments.push_back(std::move(seg));
    }
    return segments;
}

std::string percent_decode(std::string_view text) {
    auto decoded = boost::urls::make_pct_string_view(text);
    if (!decoded)
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (char c : decoded->decode())
        out.push_back(c);
    return out;
}

// The path's segments, percent-decoded once for all the templates they are matched against.
std::vector<std::string> decoded_segments(std::string_view path) {
    std::vector<std::string> parts;
    for (auto part : split_path(path))
        parts.push_back(percent_decode(part));
    return parts;
}

// Matches decoded path segments against a template. The score ranks literal segments over
// parameters segment by segment, so "/layers/" wins over "/{name}/": 2 for a literal, 1 for a
// parameter with literal text around it, 0 for a bare parameter.
std::optional<std::vector<int>> match(const CompiledRoute& route,
                                      const std::vector<std::string>& parts) {
    if (parts.size() != route.segments.size())
        return std::nullopt;
    std::vector<int> score;
    score.reserve(parts.size());
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const auto& seg = route.segments[i];
        const std::string& part = parts[i];
        if (!seg.is_param) {
            if (part != seg.literal)
                return std::nullopt;
            score.push_back(2);
            continue;
        }
        if (part.size() <= seg.prefix.size() + seg.suffix.size())
            return std::nullopt;
        if (!part.starts_with(seg.prefix) || !part.ends_with(seg.suffix))
            return std::nullopt;
        score.push_back(seg.prefix.empty() && seg.suffix.empty() ? 0 : 1);
    }
    return score;
}

// The path values of a template that matched `parts`.
std::map<std::string, std::string, std::less<>> path_values_of(
    const CompiledRoute& route, const std::vector<std::string>& parts) {
    std::map<std::string, std::string, std::less<>> values;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const auto& seg = route.segments[i];
        if (seg.is_param)
            values[seg.name] = parts[i].substr(
                seg.prefix.size(), parts[i].size() - seg.prefix.size() - seg.suffix.size());
    }
    return values;
}

const char* type_name(ParamType type) {
    switch (type) {
        case ParamType::integer:
            return "integer";
        case ParamType::real:
            return "number";
        case ParamType::boolean:
            return "boolean";
        case ParamType::text:
            break;
    }
    return "string";
}

struct ValidationError {
    std::string location, name, message, input;
    bool missing = false;
};

std::optional<ParamValue> convert(const Param& param, std::string_view text) {
    switch (param.type) {
        case ParamType::text:
            return ParamValue(std::string(text));
        case ParamType::integer:
            if (auto v = parse_integer(text))
                return ParamValue(*v);
            return std::nullopt;
        case ParamType::real:
            if (auto v = parse_real(text))
                return ParamValue(*v);
            return std::nullopt;
        case ParamType::boolean:
            if (auto v = parse_boolean(text))
                return ParamValue(*v);
            return std::nullopt;
    }
    return std::nullopt;
}

// The value is of the parameter's type but outside its declared range.
std::optional<std::string> range_message(const Param& param, const ParamValue& value) {
    const auto* integer = std::get_if<std::int64_t>(&value);
    if (!param.minimum || !integer || *integer >= *param.minimum)
        return std::nullopt;
    return "Input should be greater than or equal to " + std::to_string(*param.minimum);
}

std::string conversion_message(ParamType type) {
    switch (type) {
        case ParamType::integer:
            return "Input should be a valid integer";
        case ParamType::real:
            return "Input should be a valid number";
        case ParamType::boolean:
            return "Input should be a valid boolean";
        case ParamType::text:
            break;
    }
    return "Input should be a valid string";
}

Response validation_response(const std::vector<ValidationError>& errors) {
    nlohmann::ordered_json detail = nlohmann::ordered_json::array();
    for (const auto& e : errors) {
        nlohmann::ordered_json item;
        item["type"] = e.missing ? "missing" : "invalid";
        item["loc"] = {e.location, e.name};
        item["msg"] = e.message;
        item["input"] =
            e.missing ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(e.input);
        detail.push_back(std::move(item));
    }
    return json_response(nlohmann::ordered_json{{"detail", std::move(detail)}}, 422);
}

nlohmann::ordered_json to_json(const ParamValue& value) {
    return std::visit([](const auto& v) { return nlohmann::ordered_json(v); }, value);
}

}  // namespace

struct App::Table {
    std::vector<CompiledRoute> routes;
    Fallback fallback;
    CorsPolicy cors;
};

App::App() : table_(std::make_unique<Table>()) {}
App::~App() = default;
App::App(App&&) noexcept = default;
App& App::operator=(App&&) noexcept = default;

void App::mount(const Router& router) {
    for (const auto& route : router.routes()) {
        CompiledRoute compiled{route, router.prefix() + route.path, router.tags(), {}, 0};
        compiled.segments = compile(compiled.full_path);
        compiled.order = table_->routes.size();
        table_->routes.push_back(std::move(compiled));
    }
}

void App::set_fallback(Fallback fallback) {
    table_->fallback = std::move(fallback);
}

void App::set_cors(CorsPolicy policy) {
    table_->cors = std::move(policy);
}

void App::add(Route route) {
    CompiledRoute compiled{route, route.path, {}, {}, 0};
    compiled.segments = compile(compiled.full_path);
    compiled.order = table_->routes.size();
    table_->routes.push_back(std::move(compiled));
}

namespace {

awaitable<Response> invoke(const CompiledRoute& route, const Request& request,
                           std::map<std::string, std::string, std::less<>> path_values) {
    std::map<std::string, std::string, std::less<>> query_values;
    if (!boost::urls::parse_query(request.query))
        co_return error_response(400, "Invalid query string");
    // Later repetitions of a name win; '+' stands for a space as browsers send it.
    for (auto param : boost::urls::params_view(request.query))
        query_values[param.key] = param.value;

    std::vector<ValidationError> errors;
    std::map<std::string, ParamValue, std::less<>> values;
    for (const auto& param : route.route.params) {
        const auto& source = param.in == ParamIn::path ? path_values : query_values;
        const char* location = param.in == ParamIn::path ? "path" : "query";
        auto it = source.find(param.name);
        if (it == source.end()) {
            if (param.default_value) {
                values[param.name] = *param.default_value;
            } else {
                errors.push_back({location, param.name, "Field required", "", true});
            }
            continue;
        }
        if (auto converted = convert(param, it->second)) {
            if (auto out_of_range = range_message(param, *converted))
                errors.push_back({location, param.name, std::move(*out_of_range), it->second});
            else
                values[param.name] = std::move(*converted);
        } else {
            errors.push_back({location, param.name, conversion_message(param.type), it->second});
        }
    }
    if (!errors.empty())
        co_return validation_response(errors);

    std::unique_ptr<database::Session> session;
    if (route.route.uses_db)
        session = database::get_db();
    Call call(request, std::move(values), session.get());

    std::optional<Response> response;
    std::exception_ptr failure;
    try {
        response = co_await route.route.handler(call);
    } catch (...) {
        failure = std::current_exception();
    }
    if (session) {
        try {
            co_await session->close();
        } catch (const std::exception& e) {
            get_logger()->warn("Closing the database session of {} {} failed: {}", request.method,
                               request.path, e.what());
        }
    }
    if (failure)
        std::rethrow_exception(failure);
    co_return std::move(*response);
}

}  // namespace

std::optional<Response> App::try_fallback(const Request& request) const {
    if (!table_->fallback)
        return std::nullopt;
    try {
        return table_->fallback(request);
    } catch (const std::exception& e) {
        get_logger()->error("Unhandled error in {} {}: {}", request.method, request.path, e.what());
        return error_response(500, "Internal Server Error");
    }
}

namespace {

const metrics::Family kRequests{"kavara_http_requests_total", metrics::Kind::counter,
                                "HTTP requests answered, by route template, method and status."};
const metrics::Family kLatency{"kavara_http_request_duration_seconds", metrics::Kind::histogram,
                               "Time from a request read to its answer ready, by route template."};

// Methods as label values: the standard ones by name, any other as "other", so that clients
// sending made-up methods cannot fill the metrics table and crowd out the real series.
std::string_view method_label(std::string_view method) {
    static constexpr std::array<std::string_view, 9> kStandard{
        "GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH", "CONNECT", "TRACE"};
    return std::find(kStandard.begin(), kStandard.end(), method) != kStandard.end() ? method
                                                                                    : "other";
}

// Statuses as label values, without formatting one per request.
std::string_view status_label(unsigned status, std::array<char, 4>& text) {
    auto end = fmt::format_to_n(text.data(), text.size(), "{}", status);
    return {text.data(), std::min(end.size, text.size())};
}

}  // namespace

awaitable<Response> App::handle(const Request& request) const {
    const auto started = std::chrono::steady_clock::now();
    std::string_view route = "(unmatched)";
    Response response = co_await answer(request, route);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::array<char, 4> status_text{};
    metrics::add(kRequests, {{"route", route},
                             {"method", method_label(request.method)},
                             {"status", status_label(response.status, status_text)}});
    metrics::observe(kLatency, {{"route", route}}, seconds);
    co_return response;
}

awaitable<Response> App::answer(const Request& request, std::string_view& route_label) const {
    const auto parts = decoded_segments(request.path);
    const CompiledRoute* best = nullptr;
    std::vector<int> best_score;
    std::vector<std::string> allowed;
    std::vector<std::string> cross_origin_methods;
    for (const auto& route : table_->routes) {
        auto score = match(route, parts);
        if (!score)
            continue;
        if (route.route.cross_origin)
            cross_origin_methods.push_back(route.route.method);
        if (route.route.method != request.method) {
            if (std::find(allowed.begin(), allowed.end(), route.route.method) == allowed.end())
                allowed.push_back(route.route.method);
            continue;
        }
        if (!best || *score > best_score) {
            best = &route;
            best_score = std::move(*score);
        }
    }
    if (!best && request.method == "OPTIONS" && table_->cors.enabled() &&
        !cross_origin_methods.empty()) {
        route_label = "(preflight)";
        co_return table_->cors.preflight(request, cross_origin_methods);
    }
    if (!best) {
        if (allowed.empty()) {
            if (auto answer = try_fallback(request)) {
                route_label = "(files)";
                co_return std::move(*answer);
            }
            co_return error_response(404, "Not Found");
        }
        auto response = error_response(405, "Method Not Allowed");
        std::string allow;
        for (const auto& m : allowed)
            allow += (allow.empty() ? "" : ", ") + m;
        response.headers.emplace_back("Allow", allow);
        co_return response;
    }

    route_label = best->full_path;
    std::optional<Response> response;
    try {
        response = co_await invoke(*best, request, path_values_of(*best, parts));
    } catch (const HTTPException& e) {
        response = error_response(e.status(), e.detail());
    } catch (const std::exception& e) {
        get_logger()->error("Unhandled error in {} {}: {}", request.method, request.path, e.what());
        response = error_response(500, "Internal Server Error");
    } catch (...) {
        get_logger()->error("Unhandled error in {} {}", request.method, request.path);
        response = error_response(500, "Internal Server Error");
    }
    if (best->route.cross_origin)
        table_->cors.decorate(request, *response);
    co_return std::move(*response);
}

nlohmann::ordered_json App::openapi(std::string_view title) const {
    nlohmann::ordered_json doc;
    doc["openapi"] = "3.0.3";
    doc["info"] = {{"title", title}, {"version", "1.0.0"}};
    nlohmann::ordered_json paths = nlohmann::ordered_json::object();
    for (const auto& route : table_->routes) {
        nlohmann::ordered_json op;
        op["operationId"] = route.route.name;
        op["summary"] = route.route.name;
        op["description"] = route.route.description;
        if (!route.tags.empty())
            op["tags"] = route.tags;
        nlohmann::ordered_json params = nlohmann::ordered_json::array();
        for (const auto& p : route.route.params) {
            nlohmann::ordered_json item;
            item["name"] = p.name;
            item["in"] = p.in == ParamIn::path ? "path" : "query";
            item["required"] = p.in == ParamIn::path || !p.default_value;
            if (!p.description.empty())
                item["description"] = p.description;
            nlohmann::ordered_json schema{{"type", type_name(p.type)}};
            if (p.default_value)
                schema["default"] = to_json(*p.default_value);
            if (p.minimum)
                schema["minimum"] = *p.minimum;
            item["schema"] = std::move(schema);
            params.push_back(std::move(item));
        }
        op["parameters"] = std::move(params);
        op["responses"] = {
            {"200",
             {{"description",
               route.route.response == ResponseKind::raw ? "Raw body" : "JSON body"}}}};
        std::string method = route.route.method;
        std::transform(method.begin(), method.end(), method.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        paths[route.full_path][method] = std::move(op);
    }
    doc["paths"] = std::move(paths);
    return doc;
}

}  // namespace host::http
