#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tileway {

// Service constants.
inline constexpr int DEFAULT_CENTROID_ZOOM = 16;
inline constexpr double MAX_BBOX_AREA_WGS84 = 1.0;
inline constexpr int MAX_FEATURES_GLOBAL = 15000;
inline constexpr int CACHE_TTL_SHORT = 1800;
inline constexpr int CACHE_TTL_LONG = 7200;

// The value errors of the statement builder and the other pure helpers.
class ValueError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// One layer: SQL identifiers are stored with their double quotes and pasted into statements
// unchanged.
struct LayerConfig {
    std::string table;
    std::string id_col;
    std::string geom_col;
    std::vector<std::string> properties;
    std::optional<int> min_zoom;

    int min_zoom_or_zero() const noexcept { return min_zoom.value_or(0); }
};

// Layers by name, in catalogue order (the order in which layers are listed everywhere).
class LayerCatalogue {
  public:
    using Entry = std::pair<std::string, LayerConfig>;
    explicit LayerCatalogue(std::vector<Entry> entries) : entries_(std::move(entries)) {}

    const LayerConfig* find(std::string_view name) const noexcept {
        for (const auto& [key, config] : entries_)
            if (key == name)
                return &config;
        return nullptr;
    }
    bool contains(std::string_view name) const noexcept { return find(name) != nullptr; }
    const LayerConfig& at(std::string_view name) const {
        if (auto* config = find(name))
            return *config;
        throw std::out_of_range("no layer named " + std::string(name));
    }
    std::vector<std::string> keys() const {
        std::vector<std::string> names;
        for (const auto& entry : entries_)
            names.push_back(entry.first);
        return names;
    }
    std::size_t size() const noexcept { return entries_.size(); }
    auto begin() const noexcept { return entries_.begin(); }
    auto end() const noexcept { return entries_.end(); }

  private:
    std::vector<Entry> entries_;
};

extern const LayerCatalogue LAYER_CONFIG;

// Names written as a bracketed list of single-quoted names: ['plots', 'beacons'].
std::string quoted_name_list(const std::vector<std::string>& names);

// A configured identifier with its leading and trailing double quotes removed, as string
// literals name it (ST_EstimatedExtent, the system catalogues): "GIS"."PLOT" gives GIS"."PLOT.
std::string strip_double_quotes(std::string_view text);

}  // namespace tileway
