#include <gtest/gtest.h>
#include <net/if.h>

#include <string>

#include "net/src/socket/IpAddress.h"
#include "net/src/socket/SocketAddress.h"

using namespace kx::net;
using kx::core::String;

namespace {

struct SocketAddressCase {
    const char* text;
    bool ok;
    const char* printed;  // toStdString of the result when ok
    IpAddress::Family family;
};

const SocketAddressCase SOCKET_ADDRESS_CASES[] = {
    {"127.0.0.1:80", true, "127.0.0.1:80", IpAddress::V4},
    {"10.20.30.40:65535", true, "10.20.30.40:65535", IpAddress::V4},
    {"0.0.0.0:0", true, "0.0.0.0:0", IpAddress::V4},
    {"[::1]:443", true, "[::1]:443", IpAddress::V6},
    {"[2001:DB8:0:0:0:0:0:1]:8080", true, "[2001:db8::1]:8080", IpAddress::V6},
    {"[::]:0", true, "[::]:0", IpAddress::V6},
    // A mapped address is the IPv4 address it maps.
    {"[::ffff:127.0.0.2]:9", true, "127.0.0.2:9", IpAddress::V4},
    {"[fe80::1%lo]:22", true, "[fe80::1%lo]:22", IpAddress::V6},
    {"[fe80::1%1]:22", true, "[fe80::1%lo]:22", IpAddress::V6},
    // Zones: only on link-local addresses, and only for an interface that exists.
    {"[::1%lo]:22", false, "", IpAddress::V4},
    {"[fe80::1%no-such-if]:22", false, "", IpAddress::V4},
    {"[fe80::1%]:22", false, "", IpAddress::V4},
    // Brackets and ports.
    {"::1:443", false, "", IpAddress::V4},
    {"[::1]", false, "", IpAddress::V4},
    {"[::1]:", false, "", IpAddress::V4},
    {"[::1]443", false, "", IpAddress::V4},
    {"[::1:443", false, "", IpAddress::V4},
    {"[127.0.0.1]:443", false, "", IpAddress::V4},
    {"127.0.0.1", false, "", IpAddress::V4},
    {"127.0.0.1:", false, "", IpAddress::V4},
    {"127.0.0.1:65536", false, "", IpAddress::V4},
    {"127.0.0.1:-1", false, "", IpAddress::V4},
    {"127.0.0.1:+80", false, "", IpAddress::V4},
    {"127.0.0.1:80 ", false, "", IpAddress::V4},
    {"127.0.0.1:123456", false, "", IpAddress::V4},
    // Bad hosts.
    {"256.1.1.1:80", false, "", IpAddress::V4},
    {"host.example:80", false, "", IpAddress::V4},
    {"[1:2:3:4:5:6:7:8:9]:80", false, "", IpAddress::V4},
    {"[::1::2]:80", false, "", IpAddress::V4},
    {"[gggg::1]:80", false, "", IpAddress::V4},
    {":80", false, "", IpAddress::V4},
    {"", false, "", IpAddress::V4},
};

}  // namespace

TEST(AddressCodecTest, SocketAddressTextTable) {
    const bool haveLo = if_nametoindex("lo") == 1;
    for (const SocketAddressCase& c : SOCKET_ADDRESS_CASES) {
        if (!haveLo && std::string(c.text).find('%') != std::string::npos) continue;
        SocketAddress out(IpAddress(0x01020304u), 7);
        const bool ok = SocketAddress::fromText(String::fromUtf8(c.text), &out);
        EXPECT_EQ(c.ok, ok) << c.text;
        if (!ok) {
            EXPECT_EQ("1.2.3.4:7", out.toStdString()) << c.text << ": a refusal leaves the output alone";
            continue;
        }
        EXPECT_EQ(c.printed, out.toStdString()) << c.text;
        EXPECT_EQ(c.family, out.ip.family()) << c.text;
        // What is printed reads back as the same address.
        SocketAddress again;
        ASSERT_TRUE(SocketAddress::fromText(out.toString(), &again)) << c.text;
        EXPECT_EQ(out, again) << c.text;
        sockaddr_storage sa;
        const socklen_t length = out.toSockaddr(&sa);
        SocketAddress back;
        ASSERT_TRUE(SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&sa), length, &back));
        EXPECT_EQ(out, back) << c.text;
    }
}

TEST(AddressCodecTest, IpAddressKeepsIpv4RulesAndAddsIpv6) {
    // inet_addr forms stay accepted for IPv4, exactly as before.
    EXPECT_EQ(0x7F000001u, IpAddress("127.1").value());
    EXPECT_FALSE(IpAddress("127.0.0.1").isV6());
    const IpAddress v6("2001:db8::2");
    EXPECT_TRUE(v6.isV6());
    EXPECT_EQ(0u, v6.value());
    EXPECT_EQ(String(L"2001:db8::2"), v6.toString());
    EXPECT_FALSE(v6.isAny());
    EXPECT_TRUE(IpAddress("::").isAny());
    EXPECT_TRUE(IpAddress("::1").isLoopback());
    EXPECT_TRUE(IpAddress("127.3.4.5").isLoopback());
    EXPECT_FALSE(IpAddress("::2").isLoopback());
    // Brackets belong to socket addresses, not to bare addresses.
    EXPECT_TRUE(IpAddress("[::1]").isAny());
    // Ordering and equality across families: IPv4 first, never equal.
    EXPECT_TRUE(IpAddress("255.255.255.255") < IpAddress("::"));
    EXPECT_FALSE(IpAddress("::") < IpAddress("0.0.0.0"));
    EXPECT_NE(IpAddress("::"), IpAddress("0.0.0.0"));
    EXPECT_EQ(IpAddress("::ffff:10.0.0.1"), IpAddress("10.0.0.1"));
}

TEST(AddressCodecTest, LookupOfBothFamiliesKeepsLiteralsAndIpv4LookupStaysIpv4) {
    kx::core::Array<IpAddress> v6 = IpAddress::lookupAllFamilies(String(L"::1"));
    ASSERT_EQ(1, v6.size());
    EXPECT_EQ(IpAddress("::1"), v6[0]);
    kx::core::Array<IpAddress> v4 = IpAddress::lookupAllFamilies(String(L"127.0.0.5"));
    ASSERT_EQ(1, v4.size());
    EXPECT_EQ(IpAddress("127.0.0.5"), v4[0]);
    EXPECT_TRUE(IpAddress::lookupAll(String(L"::1")).isEmpty());
}
