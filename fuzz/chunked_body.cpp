// Chunked bodies fed in arbitrary splits: the decoder must reach the same
// result with the same body however the bytes are cut, consume nothing past
// the last chunk, and keep to the body limit.
#include <cstdint>

#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "SplitPlan.h"
#include "core/src/value/Binary.h"
#include "web/src/ChunkedDecoder.h"

using kx::core::Binary;
using kx::web::ChunkedDecoder;

namespace {

struct Outcome {
    ChunkedDecoder::Result result = ChunkedDecoder::RESULT_MORE;
    Binary body;
    int32_t consumed = 0;
};

Outcome feed(const Binary& wire, int32_t maxBody, bool split, uint32_t seed) {
    ChunkedDecoder decoder;
    SplitPlan plan(seed);
    Outcome out;
    int32_t pos = 0;
    while (pos < wire.length()) {
        const int32_t n = split ? plan.next(wire.length() - pos) : wire.length() - pos;
        int32_t used = -1;
        out.result = decoder.feed(wire.data() + pos, n, &used, &out.body, maxBody);
        FUZZ_CHECK(used >= 0 && used <= n);
        pos += used;
        if (out.result != ChunkedDecoder::RESULT_MORE) break;
        FUZZ_CHECK(used == n);  // while more is wanted, everything offered is taken
    }
    out.consumed = pos;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint32_t seed = in.u32();
    const uint8_t limit = in.byte();
    const int32_t maxBody = limit == 0 ? -1 : int32_t(limit) * 4;
    const Binary wire = in.rest();

    const Outcome whole = feed(wire, maxBody, false, seed);
    const Outcome pieces = feed(wire, maxBody, true, seed);
    FUZZ_CHECK(whole.result == pieces.result);
    if (whole.result == ChunkedDecoder::RESULT_ERROR) return 0;
    FUZZ_CHECK(whole.body == pieces.body);
    FUZZ_CHECK(whole.consumed == pieces.consumed);
    if (maxBody >= 0) FUZZ_CHECK(pieces.body.length() <= maxBody);
    FUZZ_CHECK(pieces.body.length() <= pieces.consumed);
    return 0;
}
