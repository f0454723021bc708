#include "net/src/channel/SizeHeaderCapsulator.h"

#include "core/src/debug/Assert.h"

namespace kx {
namespace net {

typedef int32_t int32;

void SizeHeaderCapsulator::writeHeader(uint8_t* out, int32_t frameLength) {
    uint32_t v = static_cast<uint32_t>(frameLength);
    out[0] = uint8_t(v);
    out[1] = uint8_t(v >> 8);
    out[2] = uint8_t(v >> 16);
    out[3] = uint8_t(v >> 24);
}

int32_t SizeHeaderCapsulator::readHeader(const uint8_t* in) {
    uint32_t v = uint32_t(in[0]) | (uint32_t(in[1]) << 8) | (uint32_t(in[2]) << 16) |
                 (uint32_t(in[3]) << 24);
    return static_cast<int32_t>(v);
}

bool SizeHeaderCapsulator::appendFrame(core::Binary* out, const void* payload, int32_t length) {
    if (!out || length < 0 || length > INT32_MAX - HEADER_SIZE - out->length() - 1) return false;
    uint8_t header[HEADER_SIZE];
    writeHeader(header, length + HEADER_SIZE);
    out->reserve(out->length() + HEADER_SIZE + length);
    out->append(header, HEADER_SIZE);
    out->append(payload, length);
    return true;
}

SizeHeaderCapsulator::DecodeResult SizeHeaderCapsulator::decode(core::Binary* pbuffer) {
    if (!m_sb || !pbuffer) return DECODE_NEED_MORE;
    if (m_sb->length() < HEADER_SIZE) return DECODE_NEED_MORE;
    int32_t size = readHeader(m_sb->data());
    if (size < HEADER_SIZE || size > m_sb->limit()) return DECODE_INVALID;
    if (m_sb->length() < size) return DECODE_NEED_MORE;
    m_sb->skip(HEADER_SIZE);
    KX_ASSERT(m_sb->read(pbuffer, size - (int)sizeof(int32)));
    KX_ASSERT(pbuffer->length() == size - (int)sizeof(int32));
    return DECODE_FRAME;
}

bool SizeHeaderCapsulator::encode(const core::Binary& payload) {
    if (!m_sb || payload.length() > INT32_MAX - HEADER_SIZE) return false;
    uint8_t header[HEADER_SIZE];
    writeHeader(header, payload.length() + HEADER_SIZE);
    if (int64_t(m_sb->length()) + HEADER_SIZE + payload.length() > m_sb->limit()) return false;
    return m_sb->append(header, HEADER_SIZE) && m_sb->append(payload);
}

}  // namespace net
}  // namespace kx
