#include "tileway/catalogue.hpp"

namespace tileway {

const LayerCatalogue LAYER_CONFIG({
    {"plots",
     {R"("GIS"."PLOT")",
      R"("ID")",
      R"("GEOMETRY")",
      {R"("ID")", R"("PLOT_NO")", R"("STATUS")", R"("AREA_SYSTEM")", R"("GENERAL_LU")",
       R"("CADZONE")", R"("DETAIL_LU")", R"("file_no")"},
      8}},
    {"beacons",
     {R"("GIS"."BEACON")",
      R"("ID")",
      R"("GEOMETRY")",
      {R"("ID")", R"("BEACON_NO")", R"("STATUS")", R"("REMARK")"},
      12}},
    {"cadzones",
     {R"("GIS"."CadZones")",
      R"("id")",
      R"("geometry")",
      {R"("id")", R"("name")", R"("district_id")"},
      4}},
    {"districts",
     {R"("GIS"."Districts")",
      R"("id")",
      R"("geometry")",
      {R"("id")", R"("name")", R"("lga_id")"},
      3}},
    {"lgas", {R"("GIS"."LGAs")", R"("id")", R"("geometry")", {R"("id")", R"("name")"}, 2}},
});

std::string quoted_name_list(const std::vector<std::string>& names) {
    std::string out = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i)
            out += ", ";
        out += "'" + names[i] + "'";
    }
    return out + "]";
}

std::string strip_double_quotes(std::string_view text) {
    while (!text.empty() && text.front() == '"')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == '"')
        text.remove_suffix(1);
    return std::string(text);
}

}  // namespace tileway
