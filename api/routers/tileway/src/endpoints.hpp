#pragma once

// The handlers of the service's routes; only routes.cpp registers them.

#include "host/database.hpp"
#include "host/http.hpp"
#include "host/runtime.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/service.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace tileway {

// The layer's record, or HTTPException 404 "Layer '{layer_name}' not found".
const LayerConfig& require_layer(std::string_view layer_name);

// Serve vector tiles with proper zoom-out support.
host::awaitable<host::http::Response> get_tile_xyz(const Service& service, std::string layer_name,
                                                   std::int64_t z, std::int64_t x, std::int64_t y,
                                                   const host::http::Request& request,
                                                   host::database::Session& db);

struct BboxQuery {
    double minx;
    double miny;
    double maxx;
    double maxy;
    std::int64_t srid = 4326;
    std::int64_t max_features = 5000;
    bool simplify = true;
};

// Serve vector tiles for custom bounding box.
host::awaitable<host::http::Response> get_tile_bbox(const Service& service, std::string layer_name,
                                                    BboxQuery query,
                                                    const host::http::Request& request,
                                                    host::database::Session& db);

// Get layer centroid and suggested tile coordinates.
host::awaitable<host::http::Response> get_central_tile_info(const Service& service,
                                                            std::string layer_name,
                                                            host::database::Session& db);

// The TileJSON document of a layer: its tile URL on this server (at the settings' public
// origin), zooms, extent and fields.
host::awaitable<host::http::Response> get_tilejson(const Service& service, std::string layer_name,
                                                   const host::http::Request& request,
                                                   host::database::Session& db);

// The map style of the five layers, its sources being their TileJSON documents on this server
// (at the settings' public origin).
host::http::Response get_style(const Service& service, const host::http::Request& request);

// Get zoom level information for a layer.
host::http::Response get_layer_zoom_info(const std::string& layer_name);

// Get list of available layers and their configurations.
host::http::Response get_available_layers();

// Manually invalidate cache for a specific layer.
host::awaitable<host::http::Response> invalidate_cache_endpoint(const Service& service,
                                                                std::string layer_name);

// Server-sent events: an "event: change" with the layer and extent of each change the
// process's watcher handles, a heartbeat comment while there is none. 429 beyond the client's
// streams, 503 beyond the process's, both with Retry-After.
host::awaitable<host::http::Response> get_changes(std::shared_ptr<const Service> service,
                                                  const host::http::Request& request);

// Health check endpoint for monitoring.
host::awaitable<host::http::Response> health_check(const Service& service);

}  // namespace tileway
