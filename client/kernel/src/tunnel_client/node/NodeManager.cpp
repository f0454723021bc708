#include "tunnel_client/node/NodeManager.h"

namespace tunnel {

Node* NodeManager::addNode(const kx::net::SocketAddress& address, const kx::core::String& type) {
    if (findNode(address)) return nullptr;
    m_nodes.append(std::unique_ptr<Node>(new Node(address, type)));
    return m_nodes[m_nodes.size() - 1].get();
}

Node* NodeManager::findNode(const kx::net::SocketAddress& address) const {
    for (const auto& node : m_nodes) {
        if (node->address() == address) return node.get();
    }
    return nullptr;
}

void NodeManager::removeNode(const kx::net::SocketAddress& address) {
    for (int32_t i = m_nodes.size() - 1; i >= 0; --i) {
        if (m_nodes[i]->address() == address) m_nodes.removeAt(i);
    }
}

}  // namespace tunnel
