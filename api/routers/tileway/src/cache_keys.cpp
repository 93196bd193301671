#include "tileway/cache_keys.hpp"

#include "tileway/tile_encoding.hpp"

#include <fmt/format.h>
#include <fmt/printf.h>

namespace tileway {

std::string tile_cache_key(std::string_view layer_name, std::int64_t z, std::int64_t x,
                           std::int64_t y) {
    return fmt::format("{}:{}:{}:{}", layer_name, z, x, y);
}

void append_tile_keys(std::vector<std::string>& keys, std::string_view layer_name,
                      const TileAddress& tile) {
    keys.push_back(tile_cache_key(layer_name, tile.z, tile.x, tile.y));
    keys.push_back(gzip_cache_key(keys.back()));
}

std::string bbox_cache_key(std::string_view layer_name, double min_x, double min_y, double max_x,
                           double max_y, std::int64_t max_features, bool simplified) {
    // "%.0f": whole metres, halves to even on the exact binary value.
    return fmt::format("bbox:{}:{}:{}:{}:{}:{}:{}", layer_name, fmt::sprintf("%.0f", min_x),
                       fmt::sprintf("%.0f", min_y), fmt::sprintf("%.0f", max_x),
                       fmt::sprintf("%.0f", max_y), max_features, simplified ? "True" : "False");
}

std::string centroid_cache_key(std::string_view layer_name) {
    return fmt::format("centroid:{}", layer_name);
}

std::string layer_invalidation_pattern(std::string_view key_namespace,
                                       std::string_view layer_name) {
    return fmt::format("{}:{}:*", key_namespace, layer_name);
}

std::vector<std::string> layer_invalidation_patterns(std::string_view key_namespace,
                                                     std::string_view layer_name) {
    return {layer_invalidation_pattern(key_namespace, layer_name),
            fmt::format("{}:gz:{}:*", key_namespace, layer_name)};
}

std::string namespaced_pattern(std::string_view key_namespace, std::string_view pattern) {
    return fmt::format("{}:{}", key_namespace, pattern);
}

std::string namespace_pattern(std::string_view key_namespace) {
    return fmt::format("{}:*", key_namespace);
}

}  // namespace tileway
