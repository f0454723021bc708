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
