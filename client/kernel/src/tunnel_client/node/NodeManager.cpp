#include "tunnel_client/node/NodeManager.h"

namespace tunnel {

NodeManager::~NodeManager() {
    for (Node* node : m_nodes) delete node;
}

Node* NodeManager::addNode(const kx::net::SocketAddress& address, const kx::core::String& type) {
    if (findNode(address)) return nullptr;
    Node* node = new Node(address, type);
    m_nodes.append(node);
    return node;
}

Node* NodeManager::findNode(const kx::net::SocketAddress& address) const {
    for (Node* node : m_nodes) {
        if (node->address() == address) return node;
    }
    return nullptr;
}

void NodeManager::removeNode(const kx::net::SocketAddress& address) {
    for (int32_t i = m_nodes.size() - 1; i >= 0; --i) {
        if (m_nodes[i]->address() == address) {
            delete m_nodes[i];
            m_nodes.removeAt(i);
        }
    }
}

}  // namespace tunnel
