// Client address behind proxies: only a trusted peer's X-Forwarded-For is believed, and then
// the right-most untrusted hop is the client; the list of trusted proxies as configured.
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

TEST(TrustedProxies, TheListLeavesOutBlanksAndEmptyEntries) {
    using host::http::parse_trusted_proxies;
    EXPECT_EQ(parse_trusted_proxies(" 10.0.0.0/8, ,::1 ,"),
              (std::vector<std::string>{"10.0.0.0/8", "::1"}));
    EXPECT_EQ(parse_trusted_proxies("192.0.2.1"), (std::vector<std::string>{"192.0.2.1"}));
    EXPECT_TRUE(parse_trusted_proxies("").empty());
}

}  // namespace
