// The origin of the URLs the server hands out: a configured public URL wins over anything a
// request says; without one, only a single well-formed Host (or a trusted proxy's forwarded
// host) is believed, and the answer says it varies with those headers.
#include "host/public_origin.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>

namespace {

using host::http::PublicOrigin;

constexpr const char* kRefusedUrl = "(refused at start-up)";
constexpr const char* kBadRequest = "(400)";

struct Case {
    std::optional<const char*> public_url;
    host::http::Headers headers;
    bool trusted_proxy;
    const char* origin;  // or one of the markers above
};

const host::http::Headers kForwarded{{"host", "10.0.0.5:8000"},
                                     {"x-forwarded-host", "maps.example, proxy.internal"},
                                     {"x-forwarded-proto", "https"}};

const Case kCases[] = {
    {std::nullopt, {{"host", "localhost:8000"}}, false, "http://localhost:8000"},
    {std::nullopt, {{"host", "[2001:db8::1]:443"}}, false, "http://[2001:db8::1]:443"},
    {std::nullopt, {{"host", "10.12.0.1"}}, false, "http://10.12.0.1"},
    {std::nullopt, {{"host", "my-host_1.example"}}, false, "http://my-host_1.example"},
    {std::nullopt, kForwarded, true, "https://maps.example"},
    {std::nullopt, kForwarded, false, "http://10.0.0.5:8000"},
    {std::nullopt, {}, false, kBadRequest},
    {std::nullopt, {{"host", ""}}, false, kBadRequest},
    {std::nullopt, {{"host", "a.example"}, {"host", "evil.example"}}, false, kBadRequest},
    {std::nullopt, {{"host", "evil.example/path"}}, false, kBadRequest},
    {std::nullopt, {{"host", "user@evil.example"}}, false, kBadRequest},
    {std::nullopt, {{"host", "evil.example:65536"}}, false, kBadRequest},
    {std::nullopt, {{"host", "evil.example:"}}, false, kBadRequest},
    {std::nullopt, {{"host", "evil.example:8a"}}, false, kBadRequest},
    {std::nullopt, {{"host", "[2001:db8::zz]"}}, false, kBadRequest},
    {std::nullopt, {{"host", "2001:db8::1"}}, false, kBadRequest},
    {std::nullopt, {{"host", "evil example"}}, false, kBadRequest},
    {std::nullopt, {{"host", "a\"b"}}, false, kBadRequest},
    {std::nullopt, {{"host", "a"}, {"x-forwarded-host", "x/y"}}, true, kBadRequest},
    {"https://maps.example.org", {{"host", "evil.example"}}, false, "https://maps.example.org"},
    {"https://maps.example.org/tiles/", kForwarded, true, "https://maps.example.org/tiles"},
    {"HTTP://[::1]:8080", {{"host", "a"}, {"host", "b"}}, false, "http://[::1]:8080"},
    {"ftp://maps.example.org", {}, false, kRefusedUrl},
    {"maps.example.org", {}, false, kRefusedUrl},
    {"https://", {}, false, kRefusedUrl},
    {"https://user@maps.example.org", {}, false, kRefusedUrl},
    {"https://maps.example.org:99999", {}, false, kRefusedUrl},
    {"https://maps.example.org/?a=1", {}, false, kRefusedUrl},
    {"https://maps.example.org/#top", {}, false, kRefusedUrl},
};

std::string outcome(const Case& c, bool& varies) {
    PublicOrigin origin;
    try {
        if (c.public_url)
            origin = PublicOrigin(*c.public_url);
    } catch (const std::invalid_argument&) {
        return kRefusedUrl;
    }
    host::http::Request request;
    request.headers = c.headers;
    request.via_trusted_proxy = c.trusted_proxy;
    try {
        std::string result = origin.of(request);
        host::http::Response response;
        origin.add_vary(response);
        varies = response.header("Vary") == "Host, X-Forwarded-Host, X-Forwarded-Proto";
        return result;
    } catch (const host::http::HTTPException& e) {
        return e.status() == 400 ? kBadRequest : "(other status)";
    }
}

TEST(PublicOrigin, FixedWhenConfiguredElseASingleWellFormedHostThatTheAnswerVariesWith) {
    for (const auto& c : kCases) {
        const std::string label = std::string(c.public_url.value_or("(unset)")) + " " +
                                  (c.headers.empty() ? "" : c.headers.front().second);
        bool varies = false;
        EXPECT_EQ(outcome(c, varies), c.origin) << label;
        const bool built_from_request = !c.public_url && c.origin[0] != '(';
        EXPECT_EQ(varies, built_from_request) << label;
    }
}

}  // namespace
