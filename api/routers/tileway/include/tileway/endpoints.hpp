#pragma once

#include "host/database.hpp"
#include "host/http.hpp"
#include "host/runtime.hpp"

#include <cstdint>
#include <string>

namespace tileway {

// Serve vector tiles with proper zoom-out support.
host::awaitable<host::http::Response> get_tile_xyz(std::string layer_name, std::int64_t z,
                                                   std::int64_t x, std::int64_t y,
                                                   const host::http::Request* request,
                                                   host::database::Session& db);

// Validate tile coordinates.
bool validate_tile_coords(std::int64_t z, std::int64_t x, std::int64_t y);

// The statement time limit of a zoom level, in seconds.
double tile_timeout(std::int64_t z);

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
host::awaitable<host::http::Response> get_tile_bbox(std::string layer_name, BboxQuery query,
                                                    const host::http::Request* request,
                                                    host::database::Session& db);

double calculate_bbox_area_degrees(double minx, double miny, double maxx, double maxy);

// The cache key of a bounding-box tile: coordinates rounded to whole metres, halves to even.
std::string bbox_cache_key(std::string_view layer_name, double min_x, double min_y, double max_x,
                           double max_y, std::int64_t max_features, bool simplify);

// Get layer centroid and suggested tile coordinates.
host::awaitable<host::http::Response> get_central_tile_info(std::string layer_name,
                                                            host::database::Session& db);

// The centroid statement of a layer's table and geometry column.
std::string centroid_sql(std::string_view table, std::string_view geom_column);

// Get zoom level information for a layer.
host::http::Response get_layer_zoom_info(const std::string& layer_name);

// Get list of available layers and their configurations.
host::http::Response get_available_layers();

// Manually invalidate cache for a specific layer.
host::awaitable<host::http::Response> invalidate_cache_endpoint(std::string layer_name);

// Health check endpoint for monitoring.
host::awaitable<host::http::Response> health_check();

}  // namespace tileway
