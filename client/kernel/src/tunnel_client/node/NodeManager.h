#pragma once

#include <memory>

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "net/src/socket/SocketAddress.h"
#include "tunnel_client/node/Node.h"

namespace tunnel {

// Owns the nodes of one tunnel client, in insertion order (the order in which
// candidates are compared). No two nodes share address and port. Worker
// thread only, like the tunnel client that owns it.
class NodeManager {
public:
    typedef kx::core::Array<std::unique_ptr<Node>> NodeList;

    NodeManager() = default;
    NodeManager(const NodeManager&) = delete;
    NodeManager& operator=(const NodeManager&) = delete;
    virtual ~NodeManager() = default;

    // Null (and nothing changed) when a node with this address and port exists.
    Node* addNode(const kx::net::SocketAddress& address, const kx::core::String& type);
    Node* findNode(const kx::net::SocketAddress& address) const;
    void removeNode(const kx::net::SocketAddress& address);

    // Read-only view in insertion order; the manager keeps ownership.
    const NodeList& nodes() const { return m_nodes; }

private:
    NodeList m_nodes;
};

}  // namespace tunnel
