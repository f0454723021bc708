#include <gtest/gtest.h>

#include "tunnel_client/node/NodeManager.h"

using kx::net::IpAddress;
using kx::net::SocketAddress;
using tunnel::Node;
using tunnel::NodeManager;

TEST(NodeManagerTest, IdentityIsAddressAndPortNotType) {
    NodeManager manager;
    SocketAddress a(IpAddress("1.2.3.4"), 443);
    Node* first = manager.addNode(a, L"standard");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(manager.addNode(a, L"bandwidth"), nullptr);
    EXPECT_EQ(manager.findNode(a)->type(), kx::core::String(L"standard"));

    Node* other = manager.addNode(SocketAddress(IpAddress("1.2.3.4"), 444), L"");
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(manager.nodes().size(), 2);
    EXPECT_EQ(manager.nodes()[0].get(), first);
    EXPECT_EQ(manager.nodes()[1].get(), other);

    manager.removeNode(a);
    ASSERT_EQ(manager.nodes().size(), 1);
    EXPECT_EQ(manager.nodes()[0].get(), other);
    EXPECT_EQ(manager.findNode(a), nullptr);
    // Re-adding after removal works and goes to the end.
    EXPECT_NE(manager.addNode(a, L"defence"), nullptr);
    EXPECT_EQ(manager.nodes()[1]->type(), kx::core::String(L"defence"));
}
