#include <gtest/gtest.h>

#include <random>
#include <string>

#include "web/src/ChunkedDecoder.h"
#include "web/src/HttpCodec.h"

using kx::core::Binary;
using kx::web::ChunkedDecoder;
using kx::web::Http;
using kx::web::HttpCodec;

namespace {

// Mutates a valid sample: flips, inserts and cuts bytes, biased towards the
// characters the parsers care about.
std::string mutate(std::string s, std::mt19937& rng) {
    static const char special[] = "\r\n:; 0123456789abcdefxHTTP/-";
    int edits = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < edits; ++i) {
        size_t pos = s.empty() ? 0 : rng() % s.size();
        char c = (rng() % 2) ? special[rng() % (sizeof(special) - 1)] : static_cast<char>(rng());
        switch (rng() % 3) {
            case 0:
                if (!s.empty()) s[pos] = c;
                break;
            case 1:
                s.insert(pos, 1, c);
                break;
            default:
                if (!s.empty()) s.erase(pos, 1 + rng() % 4);
        }
    }
    return s;
}

}  // namespace

// Response heads and chunked bodies are network input: random damage must
// end in a result or an error, never a crash (run it under the sanitizers).
TEST(HttpParserRobustness, MutatedHeadsAndChunkedBodiesNeverCrash) {
    std::mt19937 rng(20261208);
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Length: 12\r\nTransfer-Encoding: chunked\r\n"
        "Connection: keep-alive\r\nSet-Cookie: a=1";
    const std::string chunks =
        "5;x=y\r\nhello\r\n1a\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\nT: 1\r\n\r\n";
    for (int i = 0; i < 3000; ++i) {
        std::string h = mutate(head, rng);
        Http::Response r;
        if (HttpCodec::parseResponseHead(reinterpret_cast<const uint8_t*>(h.data()),
                                         static_cast<int32_t>(h.size()), &r)) {
            int64_t length = -1;
            HttpCodec::Framing f = HttpCodec::framing(L"GET", r, &length);
            if (f == HttpCodec::FRAMING_LENGTH) {
                EXPECT_GT(length, 0);
            }
            HttpCodec::keepAlive(r);
        }

        std::string c = mutate(chunks, rng);
        ChunkedDecoder decoder;
        Binary body;
        size_t pos = 0;
        ChunkedDecoder::Result result = ChunkedDecoder::RESULT_MORE;
        while (pos < c.size() && result == ChunkedDecoder::RESULT_MORE) {
            int32_t step = 1 + static_cast<int32_t>(rng() % 7);
            if (pos + static_cast<size_t>(step) > c.size())
                step = static_cast<int32_t>(c.size() - pos);
            int32_t used = 0;
            result = decoder.feed(reinterpret_cast<const uint8_t*>(c.data()) + pos, step, &used,
                                  &body, 64);
            ASSERT_LE(used, step);
            pos += static_cast<size_t>(used);
        }
        EXPECT_LE(body.length(), 64);
    }
}
