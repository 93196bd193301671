// The server's request path from raw bytes: the HTTP parser with the server's limits, the client
// address behind trusted proxies, the router's matching and its typed parameters, on routes of
// the same shapes as the service's. Whatever the bytes, every request is answered with a status
// the router gives, and each declared parameter reaches its handler with its declared type.
#include "host/request_reader.hpp"
#include "host/router.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string_view>

namespace {

using namespace host::http;

// Reads every parameter as its declared type, which the router promises has been checked.
Handler echo(std::vector<Param> params) {
    return [params](Call& call) -> host::awaitable<Response> {
        nlohmann::ordered_json body;
        for (const auto& p : params) {
            switch (p.type) {
                case ParamType::text:
                    body[p.name] = call.text(p.name);
                    break;
                case ParamType::integer:
                    body[p.name] = call.integer(p.name);
                    if (p.minimum && call.integer(p.name) < *p.minimum)
                        std::abort();
                    break;
                case ParamType::real:
                    body[p.name] = call.real(p.name);
                    break;
                case ParamType::boolean:
                    body[p.name] = call.boolean(p.name);
                    break;
            }
        }
        co_return json_response(body);
    };
}

Route route(std::string method, std::string path, std::vector<Param> params) {
    Route r{.method = std::move(method), .path = std::move(path), .name = "fuzzed"};
    r.params = params;
    r.handler = echo(std::move(params));
    return r;
}

Param path_param(std::string name, ParamType type) {
    return {.name = std::move(name), .in = ParamIn::path, .type = type};
}

Param query(std::string name, ParamType type, std::optional<ParamValue> fallback = std::nullopt,
            std::optional<std::int64_t> minimum = std::nullopt) {
    return {.name = std::move(name),
            .type = type,
            .default_value = std::move(fallback),
            .minimum = minimum};
}

const App& app() {
    static const App instance = [] {
        App a;
        Router gis("/gis");
        const auto layer = path_param("layer_name", ParamType::text);
        gis.add(route("GET", "/{layer_name}/{z}/{x}/{y}.pbf",
                      {layer, path_param("z", ParamType::integer),
                       path_param("x", ParamType::integer), path_param("y", ParamType::integer)}));
        gis.add(route("GET", "/{layer_name}/bbox/",
                      {layer, query("minx", ParamType::real), query("miny", ParamType::real),
                       query("maxx", ParamType::real), query("maxy", ParamType::real),
                       query("srid", ParamType::integer, std::int64_t{4326}),
                       query("max_features", ParamType::integer, std::int64_t{5000}, 1),
                       query("simplify", ParamType::boolean, true)}));
        gis.add(route("GET", "/{layer_name}/", {layer}));
        gis.add(route("GET", "/layers/", {}));
        gis.add(route("POST", "/cache/invalidate/{layer_name}", {layer}));
        a.mount(gis);
        Router plots("/plots");
        plots.add(route(
            "GET", "/site-plan/{plot_id}.png",
            {path_param("plot_id", ParamType::integer), query("max_width_mm", ParamType::real, 0.0),
             query("max_height_mm", ParamType::real, 0.0)}));
        a.mount(plots);
        return a;
    }();
    return instance;
}

const ServerOptions& options() {
    static const ServerOptions o{
        .header_limit = 4096,
        .body_limit = 8192,
        .trusted_proxies = parse_trusted_proxies("127.0.0.1, 10.0.0.0/8, ::1")};
    return o;
}

Response answer(const Request& request) {
    boost::asio::io_context loop;
    Response response;
    boost::asio::co_spawn(loop, app().handle(request), [&](std::exception_ptr e, Response r) {
        if (e)
            std::abort();  // handle() never throws
        response = std::move(r);
    });
    loop.run();
    return response;
}

// An address as the server writes a client: no scope, an IPv4-mapped address as IPv4.
boost::asio::ip::address plain(boost::asio::ip::address address) {
    if (address.is_v6()) {
        auto v6 = address.to_v6();
        if (v6.is_v4_mapped())
            return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6);
        v6.scope_id(0);
        return v6;
    }
    return address;
}

// Whether one of the items of any X-Forwarded-For line is the address `client`.
bool forwarded_names(const Request& request, const boost::asio::ip::address& client) {
    for (const auto& [name, value] : request.headers) {
        if (name != "x-forwarded-for")
            continue;
        std::string_view rest = value;
        while (!rest.empty()) {
            const auto comma = rest.find(',');
            std::string item(rest.substr(0, comma));
            item.erase(0, item.find_first_not_of(" \t"));
            item.erase(item.find_last_not_of(" \t") + 1);
            boost::system::error_code ec;
            const auto address = boost::asio::ip::make_address(item, ec);
            if (!ec && plain(address) == client)
                return true;
            rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        }
    }
    return false;
}

// The client is the peer or an address that the request itself named, in its plain form.
void check_client(const Request& request, const std::string& peer) {
    const std::string& client = *request.client_host;
    if (client == peer)
        return;
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(client, ec);
    if (ec || plain(address).to_string() != client || !forwarded_names(request, address))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::set<unsigned> statuses{200, 400, 404, 405, 413, 422, 431};
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string peer = size % 2 ? "127.0.0.1" : "192.0.2.7";
    // A kept-alive connection: one request after another until the bytes or the keep-alive end.
    for (int requests = 0; requests < 8 && !bytes.empty(); ++requests) {
        ReadOutcome read = read_request(bytes, peer, options());
        if (read.refusal && !statuses.contains(read.refusal))
            std::abort();
        if (!read.request)
            break;
        check_client(*read.request, peer);
        if (!statuses.contains(answer(*read.request).status))
            std::abort();
        if (!read.keep_alive || read.used == 0)
            break;
        bytes.remove_prefix(read.used);
    }
    return 0;
}
