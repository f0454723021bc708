#include "tunnel_launcher/TargetClientBuilder.h"

#include "core/src/debug/Assert.h"
#include "tunnel_client/TunnelClient.h"
#include "util/src/log/ILogRecorder.h"

using kx::core::String;

namespace tunnel {

namespace {

const wchar_t* const LOOPBACK_TEXT = L"127.0.0.1";

}  // namespace

TargetClientBuilder::TargetClientBuilder(kx::util::ILogRecorder* logger,
                                         kx::net::SocketEventSelector* selector,
                                         const LoginInfo& loginInfo, const String& natText,
                                         bool fastTick)
    : m_logger(logger),
      m_selector(selector),
      m_loginInfo(loginInfo),
      m_natText(natText),
      m_fastTick(fastTick) {
    KX_ASSERT(m_logger);
    KX_ASSERT(m_selector);
}

std::unique_ptr<TunnelClient> TargetClientBuilder::build(const TargetRecord& record,
                                                         int32_t index) const {
    const String idText = String::fromInt64(record.id);
    kx::core::Array<kx::net::IpAddress> standbys;
    for (const kx::net::IpAddress& ip : record.standbys) {
        if (ip.isAny()) {
            m_logger->warn(L"[Launcher] Target #" + idText +
                           L": standby address that is not an IPv4 address skipped");
            continue;
        }
        standbys.append(ip);
    }

    kx::net::IpAddress clientIp = record.clientIp;
    String clientIpText = record.clientIpText;
    if (clientIp.isAny() && clientIpText != L"0.0.0.0") {
        m_logger->warn(L"[Launcher] Target #" + idText + L": client_ip '" + clientIpText +
                       L"' is not an IPv4 address, listening on " + LOOPBACK_TEXT);
        clientIpText = LOOPBACK_TEXT;
        clientIp = kx::net::IpAddress(clientIpText);
    }

    std::unique_ptr<TunnelClient> client(new TunnelClient(
        m_logger, m_selector, m_loginInfo, record.id, clientIp, standbys, m_natText, m_fastTick));
    _addNodes(client.get(), record);
    _addForwards(client.get(), record, clientIpText);
    m_logger->info(L"[Launcher] Client-" + String::fromInt32(index) +
                   L" has been inited for Target #" + idText + L" (FastTick:" +
                   String::fromBool(m_fastTick) + L")");
    return client;
}

void TargetClientBuilder::_addNodes(TunnelClient* client, const TargetRecord& record) const {
    for (const NodeRecord& node : record.nodes) {
        if (node.address.ip.isAny() || node.port < 1 || node.port > 65535) {
            m_logger->error(L"[Launcher] Failed to add node " + node.ipText + L":" +
                            String::fromInt32(node.port));
            continue;
        }
        if (client->addNode(node.address, node.type)) {
            m_logger->info(L"[Launcher] Node " + node.address.toString() + L" added on type " +
                           node.type + L" below " + String::fromInt32(node.latency) + L"ms");
        } else {
            m_logger->error(L"[Launcher] Failed to add node " + node.address.toString());
        }
    }
}

void TargetClientBuilder::_addForwards(TunnelClient* client, const TargetRecord& record,
                                       const String& clientIpText) const {
    for (const ForwardRecord& forward : record.forwards) {
        const bool tcp = forward.protocol == L"tcp";
        const bool udp = forward.protocol == L"udp";
        for (const ForwardPort& port : forward.ports()) {
            // An IPv6 local address is written in brackets, as [::1]:7001.
            const bool v6 = clientIpText.indexOf(L':') >= 0;
            const String where = (v6 ? L"[" + clientIpText + L"]" : clientIpText) + L":" +
                                 String::fromInt32(port.clientPort);
            if (!tcp && !udp) {
                m_logger->error(L"[Launcher] Protocol is not supported: '" + forward.protocol +
                                L"' on " + where);
                continue;
            }
            const bool added = tcp ? client->addTcpForward(port.clientPort, port.standbyPort)
                                   : client->addUdpForward(port.clientPort, port.standbyPort);
            if (added) {
                m_logger->info((tcp ? L"[Launcher] TCP forward added on "
                                    : L"[Launcher] UDP forward added on ") +
                               where);
            } else {
                m_logger->error(L"[Launcher] Failed to add forward on " + where);
            }
        }
    }
}

}  // namespace tunnel
