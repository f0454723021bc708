#include "tunnel_client/service/NodeSelectService.h"

#include "core/src/debug/Assert.h"
#include "tunnel_client/ITunnelContext.h"
#include "tunnel_client/node/Node.h"
#include "tunnel_client/node/NodeManager.h"
#include "tunnel_client/node/AddressBlock.h"
#include "tunnel_client/node/NodeSelector.h"

namespace tunnel {

NodeSelectService::NodeSelectService(ITunnelContext* context) : m_context(context) {
    KX_ASSERT(m_context);
}

NodeSelectService::~NodeSelectService() = default;

bool NodeSelectService::select(const LoginInfo& loginInfo, int64_t targetId,
                               const kx::core::String& natId, bool bandwidthIsHigh, OkCallback onOk,
                               FailCallback onFail) {
    if (m_nodeSelector) return false;
    for (int32_t i = m_backups.size() - 1; i >= 0; --i) {
        if (m_backups[i].timer.isExpired()) m_backups.removeAt(i);
    }
    m_onOk = std::move(onOk);
    m_onFail = std::move(onFail);

    kx::core::Array<Node*> nodes;
    kx::core::Array<Node*> backupNodes;
    for (const auto& node : m_context->nodeManager()->nodes()) {
        if (_isBackup(node->address())) {
            backupNodes.append(node.get());
        } else {
            nodes.append(node.get());
        }
    }
    kx::core::Array<kx::net::SocketAddress> failed;
    for (const BackupNode& record : m_backups) failed.append(record.address);
    m_nodeSelector.reset(new NodeSelector(m_context->selector(), nodes, backupNodes, loginInfo,
                                          targetId, natId, bandwidthIsHigh, failed));
    m_nodeSelector->onSelected = [this](Node* node) {
        m_selectedAddress = node->address();
        m_selectedLatency = m_nodeSelector->winnerLatency();
        if (m_onOk) m_onOk(node);
    };
    m_nodeSelector->onFailed = [this](const Error& error) {
        if (m_onFail) m_onFail(error);
    };
    return true;
}

void NodeSelectService::addBackupNode(const kx::net::SocketAddress& address) {
    BackupNode record;
    record.address = address;
    record.timer.start(BACKUP_PERIOD_MS);
    m_backups.append(record);
}

void NodeSelectService::tick() {
    if (!m_nodeSelector) return;
    // A finished selector reported inside its own tick; delete it on the next one.
    if (m_nodeSelector->isRunning()) {
        m_nodeSelector->tick();
    } else {
        m_nodeSelector.reset();
    }
}

int NodeSelectService::selectedLatency(const kx::net::SocketAddress& address) const {
    return address == m_selectedAddress ? m_selectedLatency : -1;
}

bool NodeSelectService::isDemoted(const kx::net::SocketAddress& address) const {
    for (const BackupNode& record : m_backups) {
        if (!record.timer.isExpired() && AddressBlock::same(record.address.ip, address.ip)) return true;
    }
    return false;
}

bool NodeSelectService::_isBackup(const kx::net::SocketAddress& address) const {
    for (const BackupNode& record : m_backups) {
        if (AddressBlock::same(record.address.ip, address.ip)) return true;
    }
    return false;
}

}  // namespace tunnel
