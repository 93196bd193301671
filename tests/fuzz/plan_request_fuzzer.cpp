// A plan request from raw bytes to a finished plan, as the POST route draws it: the JSON is read
// and checked, the plan composed, drawn and encoded. Bad input may only fail the ways the route
// answers as the client's error (404 for a parcel that is not there, 422 for the rest); any
// other failure would be a 500 for the client's mistake.
#include <plots/errors.hpp>
#include <plots/plan_request.hpp>
#include <plots/plot.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const plots::PlanRequest request = plots::parse_plan_request(text);
        // Paper up to A2 keeps a run quick; larger paper only draws more bands of the same kind.
        if (request.options.max_width_mm > 600 || request.options.max_height_mm > 600)
            return 0;
        const auto result =
            plots::generate_plot(request.parcel_data, request.selected_parcel_number,
                                 request.road_data, request.options);
        if (result.image64.empty())
            std::abort();
    } catch (const plots::ValueError&) {
    } catch (const plots::InputError&) {
    } catch (const plots::Json::exception&) {
    } catch (const std::exception& e) {
        std::fprintf(stderr, "a plan request failed as the server's fault: %s\n", e.what());
        std::abort();
    }
    return 0;
}
