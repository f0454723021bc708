#include <gtest/gtest.h>

#include <string>

#include "web/src/ChunkedDecoder.h"
#include "web/src/HttpCodec.h"

using kx::core::Binary;
using kx::core::String;
using kx::web::ChunkedDecoder;
using kx::web::Http;
using kx::web::HttpCodec;

namespace {
Http::Response parse(const std::string& head) {
    Http::Response r;
    if (!HttpCodec::parseResponseHead(reinterpret_cast<const uint8_t*>(head.data()),
                                      static_cast<int32_t>(head.size()), &r)) {
        r.status = -2;
    }
    return r;
}
}  // namespace

TEST(HttpCodec, RequestHeadListsHeadersByNameAndSplitsJoinedValues) {
    Http::Request req;
    req.method = L"POST";
    req.target = L"/util?x=1";
    req.headers[L"X-Multi"] = L"one\r\ntwo";
    req.headers[L"Accept"] = L"*/*";
    req.body = Binary("{}");
    bool chunked = true;
    ASSERT_TRUE(HttpCodec::prepareBody(&req, 100, &chunked));
    EXPECT_FALSE(chunked);
    EXPECT_EQ(
        "POST /util?x=1 HTTP/1.1\r\n"
        "Accept: */*\r\n"
        "Content-Length: 2\r\n"
        "X-Multi: one\r\n"
        "X-Multi: two\r\n"
        "\r\n{}",
        HttpCodec::formatRequest(req, chunked).toStdString());
}

TEST(HttpCodec, RequestBodyRulesRefuseContradictionsAndOversizedBodies) {
    Http::Request both;
    both.headers[L"content-length"] = L"2";
    both.headers[L"Transfer-Encoding"] = L"Chunked";
    both.body = Binary("ab");
    bool chunked;
    EXPECT_FALSE(HttpCodec::prepareBody(&both, -1, &chunked));

    Http::Request wrong;
    wrong.headers[L"Content-Length"] = L"3";
    wrong.body = Binary("ab");
    EXPECT_FALSE(HttpCodec::prepareBody(&wrong, -1, &chunked));

    Http::Request big;
    big.body = Binary("abcdef");
    EXPECT_FALSE(HttpCodec::prepareBody(&big, 5, &chunked));

    Http::Request empty;
    EXPECT_TRUE(HttpCodec::prepareBody(&empty, 5, &chunked));
    EXPECT_FALSE(Http::hasHeader(empty.headers, L"content-length"));

    Http::Request chunk;
    chunk.headers[L"Transfer-Encoding"] = L"chunked";
    chunk.body.resize(HttpCodec::CHUNK_SLICE + 3);
    ASSERT_TRUE(HttpCodec::prepareBody(&chunk, -1, &chunked));
    ASSERT_TRUE(chunked);
    std::string wire = HttpCodec::formatRequest(chunk, true).toStdString();
    EXPECT_NE(std::string::npos, wire.find("\r\n\r\n4000\r\n"));
    EXPECT_EQ(std::string("\r\n3\r\n\0\0\0\r\n0\r\n\r\n", 15), wire.substr(wire.size() - 15));
}

TEST(HttpCodec, ResponseHeadJoinsRepeatedHeadersAndRejectsNonHttp) {
    Http::Response r = parse(
        "HTTP/1.1 404 Not Found Here\r\nSet-Cookie: a=1\r\nset-cookie:  b=2 \r\n"
        "Content-Length:0\r\nno colon line");
    ASSERT_EQ(404, r.status);
    EXPECT_EQ(String(L"Not Found Here"), r.reason);
    EXPECT_EQ(String(L"HTTP/1.1"), r.version);
    EXPECT_EQ(String(L"a=1\r\nb=2"), Http::header(r.headers, L"SET-COOKIE"));
    EXPECT_EQ(String(L"0"), Http::header(r.headers, L"content-length"));

    EXPECT_EQ(-2, parse("SSH-2.0-OpenSomething").status);
    EXPECT_EQ(-2, parse("HTTP/1.1 abc OK").status);
    EXPECT_EQ(-2, parse("").status);
    EXPECT_EQ(200, parse("HTTP/1.1 200").status);
}

TEST(HttpCodec, FramingFollowsMethodStatusAndHeadersInOrder) {
    int64_t len = 0;
    auto frame = [&](const char* method, const std::string& head) {
        return HttpCodec::framing(String::fromUtf8(method), parse(head), &len);
    };
    EXPECT_EQ(HttpCodec::FRAMING_NONE, frame("HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 10"));
    EXPECT_EQ(HttpCodec::FRAMING_NONE, frame("GET", "HTTP/1.1 204 No\r\nContent-Length: 10"));
    EXPECT_EQ(HttpCodec::FRAMING_NONE, frame("GET", "HTTP/1.1 304 Same"));
    EXPECT_EQ(HttpCodec::FRAMING_ERROR,
              frame("GET", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked"));
    EXPECT_EQ(HttpCodec::FRAMING_CHUNKED,
              frame("GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked"));
    EXPECT_EQ(HttpCodec::FRAMING_ERROR, frame("GET", "HTTP/1.1 200 OK\r\nContent-Length: -5"));
    EXPECT_EQ(HttpCodec::FRAMING_ERROR,
              frame("GET", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\ncontent-length: 6"));
    EXPECT_EQ(HttpCodec::FRAMING_NONE, frame("GET", "HTTP/1.1 200 OK\r\nContent-Length: 0"));
    EXPECT_EQ(HttpCodec::FRAMING_LENGTH, frame("GET", "HTTP/1.1 200 OK\r\nContent-Length: 12"));
    EXPECT_EQ(12, len);
    EXPECT_EQ(HttpCodec::FRAMING_UNTIL_CLOSE, frame("GET", "HTTP/1.1 200 OK\r\nConnection: Close"));
    EXPECT_EQ(HttpCodec::FRAMING_UNTIL_CLOSE, frame("GET", "HTTP/1.0 200 OK"));
    EXPECT_EQ(HttpCodec::FRAMING_NONE, frame("GET", "HTTP/1.0 200 OK\r\nConnection: keep-alive"));
    EXPECT_EQ(HttpCodec::FRAMING_NONE, frame("GET", "HTTP/1.1 200 OK"));
    // A status below 100 is treated as 200.
    EXPECT_EQ(HttpCodec::FRAMING_LENGTH, frame("GET", "HTTP/1.1 042 Odd\r\nContent-Length: 3"));
}

TEST(HttpCodec, KeepAliveDependsOnVersionAndConnectionHeader) {
    EXPECT_TRUE(HttpCodec::keepAlive(parse("HTTP/1.1 200 OK")));
    EXPECT_FALSE(HttpCodec::keepAlive(parse("HTTP/1.1 200 OK\r\nConnection: CLOSE")));
    EXPECT_FALSE(HttpCodec::keepAlive(parse("HTTP/1.0 200 OK")));
    EXPECT_TRUE(HttpCodec::keepAlive(parse("HTTP/1.0 200 OK\r\nConnection: Keep-Alive")));
}

TEST(ChunkedDecoder, DecodesInputSplitAtEveryByteAndSkipsExtensionsAndTrailers) {
    std::string wire = "5;name=v\r\nhello\r\n6\r\n world\r\n0\r\nTrailer: x\r\n\r\nNEXT";
    ChunkedDecoder decoder;
    Binary body;
    ChunkedDecoder::Result r = ChunkedDecoder::RESULT_MORE;
    size_t pos = 0;
    while (pos < wire.size() && r == ChunkedDecoder::RESULT_MORE) {
        int32_t used = 0;
        r = decoder.feed(reinterpret_cast<const uint8_t*>(wire.data()) + pos, 1, &used, &body, -1);
        pos += static_cast<size_t>(used);
    }
    EXPECT_EQ(ChunkedDecoder::RESULT_DONE, r);
    EXPECT_EQ("hello world", body.toStdString());
    EXPECT_EQ("NEXT", wire.substr(pos));  // bytes after the body stay unread
}

TEST(ChunkedDecoder, MalformedOrOversizedChunksAreErrors) {
    auto decode = [](const std::string& wire, int32_t maxBody) {
        ChunkedDecoder decoder;
        Binary body;
        int32_t used = 0;
        return decoder.feed(reinterpret_cast<const uint8_t*>(wire.data()),
                            static_cast<int32_t>(wire.size()), &used, &body, maxBody);
    };
    EXPECT_EQ(ChunkedDecoder::RESULT_ERROR, decode("zz\r\nhello\r\n", -1));
    EXPECT_EQ(ChunkedDecoder::RESULT_ERROR, decode("\r\n", -1));
    EXPECT_EQ(ChunkedDecoder::RESULT_ERROR, decode("ffffffffffff\r\n", -1));
    EXPECT_EQ(ChunkedDecoder::RESULT_ERROR, decode("5\r\nhelloXX\r\n", -1));
    EXPECT_EQ(ChunkedDecoder::RESULT_ERROR, decode("6\r\n", 5));
    EXPECT_EQ(ChunkedDecoder::RESULT_ERROR, decode(std::string(5000, '1'), -1));
    EXPECT_EQ(ChunkedDecoder::RESULT_MORE, decode("5\r\nhel", -1));
}
