// Client address behind proxies: only a trusted peer's X-Forwarded-For is believed, and then
// the right-most untrusted hop is the client; the list of trusted proxies as configured; one
// text per client, whatever form the header or the socket gives its address in.
#include "host/request_reader.hpp"
#include "host/server.hpp"

#include <gtest/gtest.h>

namespace {

using host::http::client_address;
const std::vector<std::string> kLoopback{"127.0.0.1", "::1"};

TEST(ClientAddress, DirectClientsAreTheirPeer) {
    EXPECT_EQ(client_address("203.0.113.9", "", kLoopback), "203.0.113.9");
    // An untrusted peer cannot choose its own address.
    EXPECT_EQ(client_address("203.0.113.9", "10.0.0.1", kLoopback), "203.0.113.9");
}

TEST(ClientAddress, TrustedProxyForwardsTheRightMostUntrustedHop) {
    EXPECT_EQ(client_address("127.0.0.1", "198.51.100.7", kLoopback), "198.51.100.7");
    // A client may prepend anything; only what the proxy appended counts.
    EXPECT_EQ(client_address("127.0.0.1", "1.2.3.4, 198.51.100.7", kLoopback), "198.51.100.7");
    const std::vector<std::string> chain{"127.0.0.1", "10.0.0.0/8"};
    EXPECT_EQ(client_address("127.0.0.1", "198.51.100.7, 10.1.2.3", chain), "198.51.100.7");
    EXPECT_EQ(client_address("10.9.9.9", "198.51.100.7,10.1.2.3", chain), "198.51.100.7");
}

TEST(ClientAddress, GarbageAndAllTrustedChains) {
    EXPECT_EQ(client_address("127.0.0.1", "not-an-ip", kLoopback), "127.0.0.1");
    EXPECT_EQ(client_address("127.0.0.1", "198.51.100.7, junk", kLoopback), "127.0.0.1");
    EXPECT_EQ(client_address("127.0.0.1", "127.0.0.1", kLoopback), "127.0.0.1");
    EXPECT_EQ(client_address("::1", "2001:db8::5", kLoopback), "2001:db8::5");
}

// Every line of the header counts, and each address has one text: the rate limiter's key.
TEST(ClientAddress, EveryForwardedLineCountsAndEachClientHasOneText) {
    struct Case {
        std::string peer;
        std::vector<std::string> forwarded_for;  // one header line each
        std::string client;
    };
    const std::string long_scope = "2001:db8::1%" + std::string(15000, '9');
    const std::vector<Case> cases{
        // A proxy that adds a line of its own after the client's.
        {"127.0.0.1", {"6.6.6.6", "198.51.100.7"}, "198.51.100.7"},
        {"127.0.0.1", {"2001:db8::1"}, "2001:db8::1"},
        {"127.0.0.1", {"2001:DB8:0:0::1"}, "2001:db8::1"},
        {"127.0.0.1", {"2001:db8::1%1"}, "2001:db8::1"},
        {"127.0.0.1", {"::ffff:10.12.0.1"}, "10.12.0.1"},
        {"127.0.0.1", {"10.12.0.1"}, "10.12.0.1"},
        // Not an address: the walk ends there, and no key grows with the header.
        {"127.0.0.1", {long_scope}, "127.0.0.1"},
        {"127.0.0.1", {"198.51.100.7:443"}, "127.0.0.1"},
        {"127.0.0.1", {"[2001:db8::1]"}, "127.0.0.1"},
        // The peer in the same form, trusted under it.
        {"::ffff:127.0.0.1", {"198.51.100.7"}, "198.51.100.7"},
        {"::ffff:203.0.113.9", {"198.51.100.7"}, "203.0.113.9"},
        {"FE80::1%2", {}, "fe80::1"},
    };
    for (const auto& c : cases) {
        std::string bytes = "GET /gis/layers/ HTTP/1.1\r\nHost: a\r\n";
        for (const auto& line : c.forwarded_for)
            bytes += "X-Forwarded-For: " + line + "\r\n";
        const auto read = host::http::read_request(bytes + "\r\n", c.peer, {});
        ASSERT_TRUE(read.request.has_value()) << c.peer;
        EXPECT_EQ(read.request->client_host, c.client)
            << c.peer << " " << c.forwarded_for.size() << " lines";
    }
}

TEST(TrustedProxies, TheListLeavesOutBlanksAndEmptyEntries) {
    using host::http::parse_trusted_proxies;
    EXPECT_EQ(parse_trusted_proxies(" 10.0.0.0/8, ,::1 ,"),
              (std::vector<std::string>{"10.0.0.0/8", "::1"}));
    EXPECT_EQ(parse_trusted_proxies("192.0.2.1"), (std::vector<std::string>{"192.0.2.1"}));
    EXPECT_TRUE(parse_trusted_proxies("").empty());
}

}  // namespace
