// HTTP responses read by the client session from a stream that cuts the bytes
// anywhere: the outcome (status, headers, body) must not depend on where the
// cuts fall, a body never exceeds the limit, and a fixed length is honoured.
#include <cstdint>

#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "SplitPlan.h"
#include "async/src/StreamSocket.h"
#include "core/src/value/Binary.h"
#include "web/src/Http.h"
#include "web/src/HttpClientSession.h"
#include "web/src/HttpCodec.h"

using kx::core::Binary;
using kx::core::String;
using kx::web::Http;
using kx::web::HttpClientSession;
using kx::web::HttpCodec;

namespace {

// Holds the session's one outstanding read; the driver completes it.
class ScriptedStream : public kx::async::StreamSocket {
public:
    void recv(int32_t maxBytes, RecvCallback callback, int32_t) override {
        FUZZ_CHECK(!pending);
        FUZZ_CHECK(maxBytes > 0);
        pending = std::move(callback);
        want = maxBytes;
    }
    void send(const Binary&, SendCallback callback, int32_t) override { callback(true); }
    void close(CloseCallback callback) override { callback(); }
    void abort(CloseCallback callback) override { callback(); }
    kx::async::SocketReactor* reactor() const override { return nullptr; }
    bool idle() const override { return !pending; }
    bool isValid() const override { return true; }

    RecvCallback pending;
    int32_t want = 0;
};

struct Outcome {
    bool done = false;
    Http::Response response;
};

// split == false: every read gets as much as it asked for.
Outcome read(const Binary& wire, const String& method, int32_t maxBody, bool split, uint32_t seed) {
    ScriptedStream stream;
    HttpClientSession session(&stream, maxBody);
    Outcome out;
    session.receiveResponse(
        method,
        [&out](Http::Response& response) {
            out.done = true;
            out.response = std::move(response);
        },
        -1);
    SplitPlan plan(seed);
    int32_t pos = 0;
    for (int guard = 0; stream.pending && guard < 1000000; ++guard) {
        auto callback = std::move(stream.pending);
        stream.pending = nullptr;
        int32_t n = wire.length() - pos;
        if (split) n = plan.next(n);
        if (n > stream.want) n = stream.want;
        Binary chunk(wire.data() + pos, n);  // empty at the end: the peer closed
        pos += n;
        callback(chunk);
    }
    FUZZ_CHECK(out.done);
    FUZZ_CHECK(session.idle());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint32_t seed = in.u32();
    const uint8_t options = in.byte();
    static const wchar_t* const METHODS[] = {L"GET", L"POST", L"HEAD", L"PUT"};
    const String method = METHODS[options & 3];
    const int32_t maxBody = (options & 4) ? -1 : 64 * int32_t(options >> 3);
    const Binary wire = in.rest();

    const Outcome whole = read(wire, method, maxBody, false, seed);
    const Outcome pieces = read(wire, method, maxBody, true, seed);

    FUZZ_CHECK(whole.response.status == pieces.response.status);
    FUZZ_CHECK(whole.response.version == pieces.response.version);
    FUZZ_CHECK(whole.response.reason == pieces.response.reason);
    FUZZ_CHECK(whole.response.headers == pieces.response.headers);
    FUZZ_CHECK(whole.response.body == pieces.response.body);

    const Http::Response& r = pieces.response;
    if (r.status == -1) {
        FUZZ_CHECK(r.body.isEmpty() && r.headers.size() == 0);
        return 0;
    }
    if (maxBody >= 0) FUZZ_CHECK(r.body.length() <= maxBody);
    int64_t length = 0;
    HttpCodec::Framing framing = HttpCodec::framing(method, r, &length);
    FUZZ_CHECK(framing != HttpCodec::FRAMING_ERROR);
    if (framing == HttpCodec::FRAMING_NONE) FUZZ_CHECK(r.body.isEmpty());
    if (framing == HttpCodec::FRAMING_LENGTH) FUZZ_CHECK(r.body.length() == length);
    return 0;
}
