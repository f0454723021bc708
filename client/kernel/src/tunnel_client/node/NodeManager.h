#pragma once

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "net/src/socket/SocketAddress.h"
#include "tunnel_client/node/Node.h"

namespace tunnel {

// Owns the nodes of one tunnel client, in insertion order (the order in which
// candidates are compared). No two nodes share address and port.
class NodeManager {
public:
    NodeManager() = default;
    NodeManager(const NodeManager&) = delete;
    NodeManager& operator=(const NodeManager&) = delete;
    virtual ~NodeManager();

    // Null (and nothing changed) when a node with this address and port exists.
    Node* addNode(const kx::net::SocketAddress& address, const kx::core::String& type);
    Node* findNode(const kx::net::SocketAddress& address) const;
    void removeNode(const kx::net::SocketAddress& address);

    const kx::core::Array<Node*>& nodes() const { return m_nodes; }

private:
    kx::core::Array<Node*> m_nodes;  // owned
};

}  // namespace tunnel
