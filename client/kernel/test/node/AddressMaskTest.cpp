#include <gtest/gtest.h>

#include "tunnel_client/node/AddressMask.h"

using kx::core::String;
using kx::net::IpAddress;
using kx::net::SocketAddress;
using tunnel::AddressMask;

TEST(AddressMaskTest, HidesTheMiddleOctets) {
    EXPECT_EQ(AddressMask::mask(SocketAddress(IpAddress("10.20.30.40"), 443)),
              String(L"10.*.*.40:443"));
    EXPECT_EQ(AddressMask::mask(String(L"a.b:1")), String(L"a.b:1"));
    EXPECT_EQ(AddressMask::mask(String(L"1.2.3")), String(L"1.2.3"));
    EXPECT_EQ(AddressMask::mask(String(L"1.2.3.4.5")), String(L"1.*.*.4.5"));
}

TEST(AddressMaskTest, Ipv6KeepsTheFirstAndLastGroup) {
    EXPECT_EQ(AddressMask::mask(SocketAddress(IpAddress("2001:db8::7:1"), 443)), String(L"[2001:*:1]:443"));
    EXPECT_EQ(AddressMask::mask(SocketAddress(IpAddress("::1"), 8)), String(L"[0:*:1]:8"));
    EXPECT_EQ(AddressMask::mask(IpAddress("fd00:1:2:3::abcd")), String(L"fd00:*:abcd"));
    EXPECT_EQ(AddressMask::mask(String(L"[2001:db8::7:1]:443")), String(L"[2001:*:1]:443"));
    EXPECT_EQ(AddressMask::mask(String(L"[2001:db8::7:1")), String(L"[*]"));
    EXPECT_EQ(AddressMask::mask(IpAddress("10.20.30.40")), String(L"10.*.*.40"));
}
