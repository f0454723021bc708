#include <gtest/gtest.h>

#include "tunnel_client/node/AddressBlock.h"

using kx::net::IpAddress;
using tunnel::AddressBlock;

TEST(AddressBlockTest, Ipv4SharesASlash16AndIpv6ASlash48) {
    struct Case {
        const char* a;
        const char* b;
        bool same;
    };
    const Case cases[] = {
        {"10.20.30.40", "10.20.99.1", true},
        {"10.20.30.40", "10.21.30.40", false},
        {"127.0.0.1", "127.0.99.1", true},
        {"2001:db8:1::1", "2001:db8:1:ffff::2", true},
        {"2001:db8:1:2:3:4:5:6", "2001:db8:1::", true},
        {"2001:db8:1::1", "2001:db8:2::1", false},
        {"2001:db8::1", "2001:db9::1", false},
        {"::1", "::2", true},
        // Families never mix, not even 0.0.0.0 and ::.
        {"0.0.0.0", "::", false},
        {"10.0.0.1", "::ffff:10.0.9.9", true},  // a mapped address is IPv4
        {"10.0.0.1", "a00:1::", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.same, AddressBlock::same(IpAddress(c.a), IpAddress(c.b))) << c.a << " " << c.b;
        EXPECT_EQ(c.same, AddressBlock::same(IpAddress(c.b), IpAddress(c.a))) << c.b << " " << c.a;
    }
}
