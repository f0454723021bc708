// Size-header framing fed in arbitrary splits: the frames decoded piecewise
// must be exactly the frames a plain reading of the whole stream gives, the
// stream must turn invalid at the same header, and re-encoding the frames
// must give back the bytes they came from.
#include <cstdint>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "SplitPlan.h"
#include "core/src/value/Binary.h"
#include "net/src/channel/SizeHeaderCapsulator.h"
#include "net/src/channel/StreamBuffer.h"

using kx::core::Binary;
using kx::core::StreamBuffer;
using kx::net::SizeHeaderCapsulator;

namespace {

struct Outcome {
    std::vector<Binary> frames;
    bool invalid = false;
};

// The framing rule read straight off the bytes.
Outcome reference(const Binary& stream, int32_t limit) {
    Outcome out;
    int32_t pos = 0;
    while (stream.length() - pos >= SizeHeaderCapsulator::HEADER_SIZE) {
        int32_t size = SizeHeaderCapsulator::readHeader(stream.data() + pos);
        if (size < SizeHeaderCapsulator::HEADER_SIZE || size > limit) {
            out.invalid = true;
            break;
        }
        if (stream.length() - pos < size) break;
        out.frames.emplace_back(stream.data() + pos + SizeHeaderCapsulator::HEADER_SIZE,
                                size - SizeHeaderCapsulator::HEADER_SIZE);
        pos += size;
    }
    return out;
}

// A reader that never asks for more than the buffer has room for.
Outcome decodeInPieces(const Binary& stream, int32_t limit, uint32_t seed) {
    Outcome out;
    StreamBuffer buffer(limit, 64);
    SizeHeaderCapsulator codec(&buffer);
    SplitPlan plan(seed);
    int32_t pos = 0;
    while (pos < stream.length() && !out.invalid) {
        int32_t room = limit - buffer.length();
        FUZZ_CHECK(room > 0);  // a full buffer always holds a whole frame or an invalid header
        int32_t n = plan.next(stream.length() - pos);
        if (n > room) n = room;
        FUZZ_CHECK(buffer.append(stream.data() + pos, n));
        pos += n;
        for (;;) {
            Binary payload;
            SizeHeaderCapsulator::DecodeResult r = codec.decode(&payload);
            if (r == SizeHeaderCapsulator::DECODE_NEED_MORE) break;
            if (r == SizeHeaderCapsulator::DECODE_INVALID) {
                out.invalid = true;
                break;
            }
            out.frames.push_back(payload);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint32_t seed = in.u32();
    // Small limits make "frame larger than the buffer" reachable.
    const int32_t limit = 4 + static_cast<int32_t>(in.byte()) * 8;
    const Binary stream = in.rest();

    const Outcome expected = reference(stream, limit);
    const Outcome pieces = decodeInPieces(stream, limit, seed);
    FUZZ_CHECK(pieces.frames.size() == expected.frames.size());
    for (size_t i = 0; i < expected.frames.size(); ++i) {
        FUZZ_CHECK(pieces.frames[i] == expected.frames[i]);
    }
    FUZZ_CHECK(pieces.invalid == expected.invalid);

    Binary again;
    for (const Binary& frame : pieces.frames) {
        FUZZ_CHECK(SizeHeaderCapsulator::appendFrame(&again, frame.data(), frame.length()));
    }
    FUZZ_CHECK(again.length() <= stream.length());
    FUZZ_CHECK(Binary(stream.data(), again.length()) == again);

    // encode() refuses what the limit cannot carry and leaves the buffer as it was.
    StreamBuffer out(limit, 64);
    SizeHeaderCapsulator codec(&out);
    for (const Binary& frame : pieces.frames) {
        const int32_t before = out.length();
        const bool fits = before + SizeHeaderCapsulator::HEADER_SIZE + frame.length() <= limit;
        FUZZ_CHECK(codec.encode(frame) == fits);
        FUZZ_CHECK(out.length() == (fits ? before + SizeHeaderCapsulator::HEADER_SIZE + frame.length()
                                         : before));
    }
    return 0;
}
