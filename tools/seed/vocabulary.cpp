#include "vocabulary.hpp"

#include <array>

namespace seed {
namespace {

using namespace std::string_view_literals;

constexpr std::array residential{"Detached House"sv, "Semi-Detached House"sv, "Terrace"sv,
                                 "Block of Flats"sv, "Bungalow"sv};
constexpr std::array commercial{"Shopping Centre"sv, "Office Complex"sv, "Hotel"sv,
                                "Filling Station"sv, "Market"sv,         "Bank"sv};
constexpr std::array institutional{"Primary School"sv, "Secondary School"sv, "Hospital"sv,
                                   "Clinic"sv,         "Place of Worship"sv, "Government Office"sv,
                                   "Police Station"sv};
constexpr std::array industrial{"Warehouse"sv, "Factory"sv, "Workshop"sv, "Depot"sv};
constexpr std::array recreational{"Park"sv, "Sports Ground"sv, "Garden"sv, "Playground"sv};
constexpr std::array mixed_use{"Shops with Flats"sv, "Offices and Flats"sv, "Plaza"sv};

constexpr std::array given_names{
    "Adamu"sv,   "Aliyu"sv, "Amina"sv,  "Bala"sv,   "Bello"sv,  "Binta"sv,  "Chika"sv,
    "Danjuma"sv, "Emeka"sv, "Funke"sv,  "Garba"sv,  "Halima"sv, "Haruna"sv, "Hauwa"sv,
    "Ibrahim"sv, "Idris"sv, "Jummai"sv, "Kabiru"sv, "Ladi"sv,   "Lawal"sv,  "Musa"sv,
    "Ngozi"sv,   "Nuhu"sv,  "Obinna"sv, "Sani"sv,   "Segun"sv,  "Shehu"sv,  "Tanko"sv,
    "Tunde"sv,   "Usman"sv, "Yakubu"sv, "Yemi"sv,   "Zainab"sv, "Audu"sv,   "Dauda"sv};
constexpr std::array family_names{"Abubakar"sv, "Okafor"sv,  "Adeyemi"sv, "Mohammed"sv,
                                  "Nwosu"sv,    "Bako"sv,    "Umar"sv,    "Eze"sv,
                                  "Yusuf"sv,    "Olawale"sv, "Gambo"sv,   "Danladi"sv};
constexpr std::array local_suffixes{"Street"sv, "Close"sv, "Crescent"sv, "Avenue"sv, "Lane"sv};
constexpr std::array syllables{"ka"sv, "va"sv,  "ra"sv,  "gu"sv, "da"sv,  "ma"sv, "wa"sv, "ku"sv,
                               "bu"sv, "ji"sv,  "ta"sv,  "sa"sv, "ya"sv,  "zu"sv, "ba"sv, "la"sv,
                               "na"sv, "fa"sv,  "ri"sv,  "mi"sv, "shi"sv, "ge"sv, "do"sv, "ke"sv,
                               "lu"sv, "tse"sv, "gwa"sv, "no"sv, "kpe"sv, "nyi"sv};

constexpr std::array beacon_statuses{"Intact"sv, "Disturbed"sv, "Missing"sv, "Replaced"sv};
constexpr std::array beacon_status_weights{80.0, 8.0, 4.0, 8.0};
constexpr std::array plot_remarks{"Concrete pillar"sv, "Iron pin in concrete"sv,
                                  "Concrete pillar, painted"sv, "Under fence"sv, "Beside drain"sv};
constexpr std::array street_remarks{"Street corner pillar"sv, "Kerb corner, concrete pillar"sv};

struct LandUseWords {
    std::string_view name;
    std::string_view file_code;  // the land office's file series
    std::span<const std::string_view> details;
};

// In the order of the LandUse enumerators.
constexpr std::array<LandUseWords, 6> land_use_words{{
    {"Residential"sv, "RES"sv, residential},
    {"Commercial"sv, "COM"sv, commercial},
    {"Institutional"sv, "INS"sv, institutional},
    {"Industrial"sv, "IND"sv, industrial},
    {"Recreational"sv, "REC"sv, recreational},
    {"Mixed Use"sv, "MXD"sv, mixed_use},
}};

// In the order of the PlotStatus enumerators.
constexpr std::array status_names{"Allocated"sv, "Vacant"sv, "Developed"sv, "Under Development"sv,
                                  "Revoked"sv};

const LandUseWords& words(LandUse use) noexcept {
    return land_use_words[static_cast<std::size_t>(use)];
}

template <typename T>
std::string_view pick(Random& rng, const T& list) {
    return list[rng.below(static_cast<std::uint32_t>(list.size()))];
}

}  // namespace

std::string_view land_use_name(LandUse use) noexcept {
    return words(use).name;
}
std::string_view land_use_file_code(LandUse use) noexcept {
    return words(use).file_code;
}
std::span<const std::string_view> detailed_uses(LandUse use) noexcept {
    return words(use).details;
}

std::string_view status_name(PlotStatus status) noexcept {
    return status_names[static_cast<std::size_t>(status)];
}

PlotStatus draw_status(Random& rng) noexcept {
    constexpr std::array weights{22.0, 15.0, 40.0, 18.0, 5.0};
    return static_cast<PlotStatus>(rng.weighted(weights));
}

BeaconNote beacon_note(CornerKind kind, std::uint64_t draw) noexcept {
    Random rng(draw);
    const std::string_view status = beacon_statuses[rng.weighted(beacon_status_weights)];
    if (status == "Missing")
        return {status, "Not found at resurvey"};
    if (status == "Replaced")
        return {status, "Re-established from adjoining beacons"};
    return {status,
            kind == CornerKind::Street ? pick(rng, street_remarks) : pick(rng, plot_remarks)};
}

std::string street_name(Random& rng, StreetClass street_class, StreetAxis axis) {
    std::string name(pick(rng, given_names));
    if (rng.chance(0.5)) {
        name += ' ';
        name += pick(rng, family_names);
    }
    name += ' ';
    switch (street_class) {
        case StreetClass::Local:
            name += pick(rng, local_suffixes);
            break;
        case StreetClass::Arterial:
            name += axis == StreetAxis::NorthSouth ? "Road" : "Way";
            break;
        case StreetClass::Expressway:
            name += axis == StreetAxis::NorthSouth ? "Expressway" : "Boulevard";
            break;
    }
    return name;
}

std::string place_name(Random& rng) {
    std::string name;
    const int count = rng.chance(0.6) ? 3 : 2;
    for (int i = 0; i < count; ++i)
        name += pick(rng, syllables);
    name[0] = static_cast<char>(name[0] - 'a' + 'A');
    return name;
}

}  // namespace seed
