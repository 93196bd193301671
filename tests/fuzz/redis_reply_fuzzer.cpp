// The Redis reply reader from raw bytes, fed in pieces whose sizes the input chooses: malformed
// input is refused with RedisError, and every reply it hands out converts to a Reply (or the
// ReplyError of an error reply inside it). The same bytes fed at once give the same replies.
#include "redis_codec.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace host::redis;

// The replies as text, with a mark where reading failed.
std::string read_all(std::string_view bytes, std::size_t piece) {
    detail::ReplyReader reader;
    std::string seen;
    try {
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            reader.feed(bytes.substr(at, piece));
            while (auto reply = reader.next()) {
                try {
                    const Reply converted = detail::to_reply(reply, *reply);
                    seen += std::to_string(static_cast<int>(converted.type)) + ":" +
                            std::to_string(converted.elements.size()) + ":" +
                            std::string(converted.str.view()) + ";";
                } catch (const ReplyError& e) {
                    seen += std::string("error:") + e.what() + ";";
                }
            }
        }
    } catch (const ReplyError&) {
        std::abort();  // only conversion reports the server's errors
    } catch (const RedisError&) {
        seen += "malformed";
    }
    return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t piece = data[0] % 16 + 1;
    std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string in_pieces = read_all(bytes, piece);
    const std::string at_once = read_all(bytes, bytes.size() + 1);
    // A malformed stream may be noticed at different points; what was read before must agree.
    if (in_pieces.rfind("malformed") == std::string::npos &&
        at_once.rfind("malformed") == std::string::npos && in_pieces != at_once)
        std::abort();
    return 0;
}
