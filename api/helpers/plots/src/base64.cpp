#include "plots/render.hpp"

namespace plots {

std::string base64_encode(std::string_view bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned int triple = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
        out += alphabet[(triple >> 18) & 63];
        out += alphabet[(triple >> 12) & 63];
        out += alphabet[(triple >> 6) & 63];
        out += alphabet[triple & 63];
    }
    std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned int triple = byte(i) << 16;
        if (rest == 2)
            triple |= byte(i + 1) << 8;
        out += alphabet[(triple >> 18) & 63];
        out += alphabet[(triple >> 12) & 63];
        out += rest == 2 ? alphabet[(triple >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

}  // namespace plots
