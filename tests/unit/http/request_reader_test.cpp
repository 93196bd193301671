// Reading a request from the bytes a peer sent, as a connection reads them: the answer a
// malformed or oversized request gets, a peer that sent nothing, the client behind the trusted
// proxy, and the next request of a kept-alive connection starting where the first ended.
#include "host/request_reader.hpp"

#include <gtest/gtest.h>

namespace {

using host::http::read_request;

TEST(RequestReader, RefusalsAndNothing) {
    const host::http::ServerOptions limits{.header_limit = 256, .body_limit = 8};
    struct Case {
        std::string bytes;
        unsigned refusal;
    };
    const std::vector<Case> cases{
        {"", 0},                                               // an idle connection closed
        {"GET /gis/layers/ HTTP/1.1\r\nHost: a\r\n", 400},     // ends inside the header
        {"GET /gis/layers/ HTTP/1.1\r\nHost a\r\n\r\n", 400},  // a field without colon
        {"GET / HTTP/1.1\r\nX: " + std::string(300, 'x') + "\r\n\r\n", 431},
        {"POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\n123456789", 413},
        {"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\n12", 400},  // the body cut short
    };
    for (const auto& c : cases) {
        const auto read = read_request(c.bytes, "127.0.0.1", limits);
        EXPECT_FALSE(read.request.has_value()) << c.bytes;
        EXPECT_EQ(read.refusal, c.refusal) << c.bytes;
    }
}

TEST(RequestReader, KeptAliveRequestsAndTheirClients) {
    const std::string first =
        "GET /gis/plots/14/8801/7940.pbf?x=1 HTTP/1.1\r\nX-Forwarded-For: 198.51.100.7\r\n\r\n";
    const std::string second =
        "POST /gis/cache/invalidate/all HTTP/1.1\r\nContent-Length: 2\r\n"
        "Connection: close\r\n\r\nok";
    const std::string bytes = first + second;
    const host::http::ServerOptions options;

    auto read = read_request(bytes, "127.0.0.1", options);
    ASSERT_TRUE(read.request.has_value());
    EXPECT_EQ(read.used, first.size());
    EXPECT_TRUE(read.keep_alive);
    EXPECT_EQ(read.request->path, "/gis/plots/14/8801/7940.pbf");
    EXPECT_EQ(read.request->query, "x=1");
    EXPECT_EQ(read.request->client_host, "198.51.100.7");
    EXPECT_EQ(read_request(first, "203.0.113.9", options).request->client_host, "203.0.113.9");

    read = read_request(std::string_view(bytes).substr(read.used), "127.0.0.1", options);
    ASSERT_TRUE(read.request.has_value());
    EXPECT_FALSE(read.keep_alive);
    EXPECT_EQ(read.request->method, "POST");
    EXPECT_EQ(read.request->body, "ok");
    EXPECT_EQ(read.request->client_host, "127.0.0.1");
}

}  // namespace
