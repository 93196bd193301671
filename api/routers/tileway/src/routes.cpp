#include "tileway/routes.hpp"

#include "admin_guard.hpp"
#include "endpoints.hpp"

namespace tileway {
namespace {

using host::http::Call;
using host::http::Param;
using host::http::ParamIn;
using host::http::ParamType;
using host::http::Response;
using host::http::ResponseKind;

Param path_text(const char* name) {
    return Param{.name = name, .in = ParamIn::path};
}
Param path_integer(const char* name) {
    return Param{.name = name, .in = ParamIn::path, .type = ParamType::integer};
}
Param query_param(const char* name, ParamType type, const char* description,
                  std::optional<host::http::ParamValue> default_value = std::nullopt,
                  std::optional<std::int64_t> minimum = std::nullopt) {
    return Param{.name = name,
                 .in = ParamIn::query,
                 .type = type,
                 .default_value = std::move(default_value),
                 .description = description,
                 .minimum = minimum};
}

using ServicePtr = std::shared_ptr<const Service>;

// Each handler holds the service, so the routes keep it alive as long as they are mounted.
host::http::Handler tile_route(ServicePtr service) {
    return [service](Call& call) -> host::awaitable<Response> {
        co_return co_await get_tile_xyz(*service, call.text("layer_name"), call.integer("z"),
                                        call.integer("x"), call.integer("y"), call.request(),
                                        call.db());
    };
}

host::http::Handler tilejson_route(ServicePtr service) {
    return [service](Call& call) -> host::awaitable<Response> {
        co_return co_await get_tilejson(*service, call.text("layer_name"), call.request(),
                                        call.db());
    };
}

host::http::Handler style_route(ServicePtr service) {
    return [service](Call& call) -> host::awaitable<Response> {
        co_return get_style(*service, call.request());
    };
}

host::http::Handler zoom_info_route() {
    return [](Call& call) -> host::awaitable<Response> {
        co_return get_layer_zoom_info(call.text("layer_name"));
    };
}

host::http::Handler bbox_route(ServicePtr service) {
    return [service](Call& call) -> host::awaitable<Response> {
        BboxQuery query{call.real("minx"),       call.real("miny"),    call.real("maxx"),
                        call.real("maxy"),       call.integer("srid"), call.integer("max_features"),
                        call.boolean("simplify")};
        co_return co_await get_tile_bbox(*service, call.text("layer_name"), query, call.request(),
                                         call.db());
    };
}

host::http::Handler centroid_route(ServicePtr service) {
    return [service](Call& call) -> host::awaitable<Response> {
        co_return co_await get_central_tile_info(*service, call.text("layer_name"), call.db());
    };
}

host::http::Handler layers_route() {
    return [](Call&) -> host::awaitable<Response> { co_return get_available_layers(); };
}

host::http::Handler invalidate_route(ServicePtr service) {
    return [service](Call& call) -> host::awaitable<Response> {
        if (auto refused = refuse_unless_admin(*service, call.request()))
            co_return std::move(*refused);
        co_return co_await invalidate_cache_endpoint(*service, call.text("layer_name"));
    };
}

host::http::Handler health_route(ServicePtr service) {
    return [service](Call&) -> host::awaitable<Response> {
        co_return co_await health_check(*service);
    };
}

void register_routes(host::http::Router& router, const ServicePtr& service) {
    router.add({.method = "GET",
                .path = "/{layer_name}/{z}/{x}/{y}.pbf",
                .name = "get_tile_xyz",
                .description = "Serve vector tiles with proper zoom-out support.",
                .response = ResponseKind::raw,
                .params = {path_text("layer_name"), path_integer("z"), path_integer("x"),
                           path_integer("y")},
                .uses_db = true,
                .handler = tile_route(service),
                .cross_origin = true});
    router.add({.method = "GET",
                .path = "/{layer_name}/zoom-info/",
                .name = "get_layer_zoom_info",
                .description = "Get zoom level information for a layer.",
                .response = ResponseKind::json,
                .params = {path_text("layer_name")},
                .handler = zoom_info_route(),
                .cross_origin = true});
    router.add({.method = "GET",
                .path = "/{layer_name}/bbox/",
                .name = "get_tile_bbox",
                .description = "Serve vector tiles for custom bounding box.",
                .response = ResponseKind::raw,
                .params = {path_text("layer_name"),
                           query_param("minx", ParamType::real, "Bounding box minimum X"),
                           query_param("miny", ParamType::real, "Bounding box minimum Y"),
                           query_param("maxx", ParamType::real, "Bounding box maximum X"),
                           query_param("maxy", ParamType::real, "Bounding box maximum Y"),
                           query_param("srid", ParamType::integer, "SRID of input bbox",
                                       std::int64_t{4326}),
                           // A negative limit would reach the statement's LIMIT and fail
                           // there; 0 is a valid, empty tile.
                           query_param("max_features", ParamType::integer,
                                       "Maximum features to return", std::int64_t{5000}, 0),
                           query_param("simplify", ParamType::boolean,
                                       "Apply geometry simplification", true)},
                .uses_db = true,
                .handler = bbox_route(service),
                .cross_origin = true});
    router.add({.method = "GET",
                .path = "/{layer_name}/",
                .name = "get_central_tile_info",
                .description = "Get layer centroid and suggested tile coordinates.",
                .response = ResponseKind::json,
                .params = {path_text("layer_name")},
                .uses_db = true,
                .handler = centroid_route(service),
                .cross_origin = true});
    router.add({.method = "GET",
                .path = "/layers/",
                .name = "get_available_layers",
                .description = "Get list of available layers and their configurations.",
                .response = ResponseKind::json,
                .handler = layers_route(),
                .cross_origin = true});
    router.add({.method = "POST",
                .path = "/cache/invalidate/{layer_name}",
                .name = "invalidate_cache_endpoint",
                .description = "Manually invalidate cache for a specific layer.\n"
                               "Useful after bulk data updates or for testing.",
                .response = ResponseKind::json,
                .params = {path_text("layer_name")},
                .handler = invalidate_route(service)});
    router.add({.method = "GET",
                .path = "/{layer_name}/tilejson.json",
                .name = "get_tilejson",
                .description = "TileJSON of a layer: its tile URL, zooms, extent and fields.",
                .response = ResponseKind::json,
                .params = {path_text("layer_name")},
                .uses_db = true,
                .handler = tilejson_route(service),
                .cross_origin = true});
    router.add({.method = "GET",
                .path = "/style.json",
                .name = "get_style",
                .description = "Map style of the five layers, sources by TileJSON.",
                .response = ResponseKind::json,
                .handler = style_route(service),
                .cross_origin = true});
    router.add({.method = "GET",
                .path = "/health/",
                .name = "health_check",
                .description = "Health check endpoint for monitoring.",
                .response = ResponseKind::json,
                .handler = health_route(service)});
    // After the seven routes of the service, in the order the API document lists them.
    router.add({.method = "GET",
                .path = "/changes",
                .name = "get_changes",
                .description = "Server-sent events: the layer and extent of each edit, once the "
                               "tiles it touched are purged.",
                .response = ResponseKind::raw,
                .handler = [service](Call& call) -> host::awaitable<Response> {
                    co_return co_await get_changes(service, call.request());
                }});
}

}  // namespace

host::http::Router make_router(std::shared_ptr<const Service> service) {
    host::http::Router router("/gis", {"GIS Tiles"});
    register_routes(router, service);
    return router;
}

}  // namespace tileway
