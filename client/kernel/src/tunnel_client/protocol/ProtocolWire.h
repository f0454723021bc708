#pragma once

#include <cstdint>

namespace tunnel {
namespace wire {

// Frame payload prefix inside the size header: version, then kind.
constexpr uint8_t FRAME_VERSION = 0x01;
constexpr uint8_t FRAME_KIND_MESSAGE = 0x01;  // an encoded dictionary follows
constexpr uint8_t FRAME_KIND_DATA = 0x02;     // tunnel packet bytes follow
constexpr int32_t FRAME_PREFIX_SIZE = 2;

// The stream limits of a node connection.
constexpr int32_t STREAM_BUFFER_LIMIT = 10485760;
constexpr int32_t STREAM_BUFFER_KEEP = 10240;

// Reserved RPC keys and values.
constexpr const wchar_t* KEY_KIND = L"@";
constexpr const wchar_t* KEY_METHOD = L"method";
constexpr const wchar_t* KEY_ERROR_CODE = L"error_code";
constexpr const wchar_t* KEY_ERROR_MSG = L"error_msg";
constexpr const wchar_t* KIND_CALL = L"call";
constexpr const wchar_t* KIND_RETURN = L"return";

// Methods and their keys.
constexpr const wchar_t* METHOD_ZERO_MAKE = L"zero_make";
constexpr const wchar_t* METHOD_ZERO_LOGIN = L"zero_login";
constexpr const wchar_t* METHOD_TUNNEL_CREATE = L"tunnel_create";
constexpr const wchar_t* METHOD_TUNNEL_ATTACH = L"tunnel_attach";
constexpr const wchar_t* METHOD_LATENCY_QUERY = L"latency_query";

constexpr const wchar_t* KEY_ZERO_ID = L"zero_id";
constexpr const wchar_t* KEY_ACCESS_ID = L"access_id";
constexpr const wchar_t* KEY_ZERO_KEY = L"zero_key";
constexpr const wchar_t* KEY_CLIENT_TOKEN = L"client_token";
constexpr const wchar_t* KEY_CLIENT_TYPE = L"client_type";
constexpr const wchar_t* KEY_CLIENT_VERSION = L"client_version";
constexpr const wchar_t* KEY_TARGET_ID = L"target_id";
constexpr const wchar_t* KEY_TUNNEL_ID = L"tunnel_id";
constexpr const wchar_t* KEY_NAT_ID = L"nat_id";
constexpr const wchar_t* KEY_LATENCY = L"latency";

constexpr const wchar_t* CLIENT_TYPE = L"ios";

// Node error for a tunnel the node does not know (the client then forgets
// its tunnel identity and creates a new one).
constexpr int32_t ERROR_UNKNOWN_TUNNEL = 201;

// The acknowledgement packet doubles as the tunnel heartbeat: class 1,
// kind 1, then the u32 little-endian sequence acknowledged.
constexpr uint8_t PACKET_CLASS_ACK = 0x01;
constexpr uint8_t PACKET_KIND_ACK = 0x01;
constexpr int32_t ACK_PACKET_SIZE = 6;
// The acknowledgement number before any packet arrived in order.
constexpr uint32_t NOTHING_RECEIVED = 0xFFFFFFFFu;

// The packet layer of a tunnel, the same on both ends: unacknowledged bytes
// kept for resend, the received bytes after which an acknowledgement goes out
// at once, and the period of the acknowledgement (heartbeat). Acknowledging
// every 256 KiB rather than rarely keeps the sender's backups short: it frees
// them a few at a time, so the allocator reuses their memory instead of
// giving megabytes back to the system and faulting them in again.
constexpr int32_t BACKUP_CAPACITY = 64 * 1024 * 1024;
constexpr int32_t ACK_BYTES = 256 * 1024;
constexpr int32_t ACK_INTERVAL_MS = 500;

// Flow control of one TCP stream or UDP session, the same in both directions:
// the window the receiver grants with its open (or open result), the delivered
// bytes it grants back at once, and the largest stream piece in one packet.
constexpr int32_t INITIAL_GRANT = 131072;
constexpr int32_t GRANT_STEP = 16384;
constexpr int32_t MAX_PIECE = 16384;

}  // namespace wire
}  // namespace tunnel
