#pragma once

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "core/src/value/Binary.h"
#include "core/src/value/Dictionary.h"
#include "net/src/channel/SizeHeaderTcpSocketChannel.h"
#include "net/src/channel/TcpSocketConnector.h"
#include "tunnel_client/protocol/LoginProof.h"
#include "tunnel_client/protocol/ProtocolFrame.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/TunnelPacket.h"
#include "tunnel_client/protocol/WireValue.h"

namespace labtest {

using kx::core::Binary;
using tunnel::TunnelPacket;
using tunnel::WireValue;
typedef kx::core::Dictionary<Binary> Message;
// Runs the lab until done() holds or its time limit passes.
typedef std::function<bool(const std::function<bool()>& done)> Pump;

// The frame of an RPC call.
inline Binary callFrame(const wchar_t* method, Message params) {
    params.set(L"@", Binary("call"));
    params.set(L"method", WireValue::fromText(method));
    Binary frame;
    tunnel::ProtocolFrame::encodeMessage(params, &frame);
    return frame;
}

// The zero_login parameters of a good login with the access key "key".
inline Message loginParams(const kx::core::String& zeroId) {
    Message m;
    m.set(L"access_id", WireValue::fromText(tunnel::LoginProof::accessId(L"key")));
    m.set(L"zero_key",
          WireValue::fromText(tunnel::LoginProof::compute(L"key", L"t", L"ios", L"v", zeroId)));
    m.set(L"client_token", Binary("t"));
    m.set(L"client_type", Binary("ios"));
    m.set(L"client_version", Binary("v"));
    return m;
}

// A bare client connection to one switch: RPC answers and tunnel packets
// are collected separately.
struct RawClient {
    std::unique_ptr<kx::net::TcpSocketConnector> connector;
    std::unique_ptr<kx::net::SizeHeaderTcpSocketChannel> channel;
    std::vector<Message> answers;
    std::vector<Binary> packets;

    void connect(kx::net::SocketEventSelector* selector, const kx::net::SocketAddress& to) {
        connector.reset(new kx::net::TcpSocketConnector(selector));
        connector->connect(
            to,
            [this, selector](kx::net::Socket* socket) {
                if (!socket) return;
                channel.reset(
                    new kx::net::SizeHeaderTcpSocketChannel(socket, selector, 1 << 24, 1024));
                channel->onFrame = [this](Binary& frame) {
                    if (tunnel::ProtocolFrame::kindOf(frame) == tunnel::wire::FRAME_KIND_DATA) {
                        packets.push_back(Binary(frame.data() + 2, frame.length() - 2));
                        return;
                    }
                    Message m;
                    tunnel::ProtocolFrame::decodeMessage(frame, &m);
                    answers.push_back(m);
                };
            },
            1000);
    }
    void call(const wchar_t* method, Message params = Message()) {
        channel->send(callFrame(method, std::move(params)));
    }
    void send(Binary packet, uint32_t sequence) {
        TunnelPacket::writeSequence(packet, sequence);
        Binary frame;
        tunnel::ProtocolFrame::encodeData(packet, &frame);
        channel->send(frame);
    }
    // Data packets (not acknowledgements) received so far.
    std::vector<TunnelPacket> dataPackets() const {
        std::vector<TunnelPacket> out;
        for (const Binary& p : packets) {
            TunnelPacket view(p);
            if (!view.isAck()) out.push_back(view);
        }
        return out;
    }
    std::vector<uint32_t> acks() const {
        std::vector<uint32_t> out;
        for (const Binary& p : packets) {
            TunnelPacket view(p);
            if (view.isAck()) out.push_back(view.sequence());
        }
        return out;
    }
    // Makes a zero id and logs in with the access key "key".
    bool logIn(const Pump& pumpUntil) {
        if (!pumpUntil([this] { return channel != nullptr; })) return false;
        call(L"zero_make");
        if (!pumpUntil([this] { return answers.size() == 1; })) return false;
        call(L"zero_login", loginParams(WireValue::text(answers[0], L"zero_id")));
        if (!pumpUntil([this] { return answers.size() == 2; })) return false;
        return !answers[1].contains(L"error_code");
    }
};

}  // namespace labtest
