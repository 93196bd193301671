#pragma once

#include "cadastre.hpp"
#include "random.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// The words of the synthetic cadastre: land uses, statuses, beacon notes and invented names.
namespace seed {

std::string_view land_use_name(LandUse use) noexcept;
// The land office's file series for a land use, as in "KV/RES/2019/01234".
std::string_view land_use_file_code(LandUse use) noexcept;
std::span<const std::string_view> detailed_uses(LandUse use) noexcept;
std::string_view status_name(PlotStatus status) noexcept;
PlotStatus draw_status(Random& rng) noexcept;

struct BeaconNote {
    std::string_view status;
    std::string_view remark;
};
BeaconNote beacon_note(CornerKind kind, std::uint64_t draw) noexcept;

enum class StreetClass : std::uint8_t { Local, Arterial, Expressway };
enum class StreetAxis : std::uint8_t { NorthSouth, EastWest };
std::string street_name(Random& rng, StreetClass street_class, StreetAxis axis);

// A made-up place name of two or three syllables, such as "Gudama".
std::string place_name(Random& rng);

}  // namespace seed
