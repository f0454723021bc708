#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "core/src/json/JsonParser.h"
#include "core/src/value/AnyConvert.h"
#include "util/src/rpc/JsonRpcClient.h"
#include "util/src/rpc/RpcBadParamsException.h"
#include "util/src/rpc/RpcMethodNotFoundException.h"
#include "web/FakeHttpAccess.h"

using kx::core::Any;
using kx::core::AnyDictionary;
using kx::core::Exception;
using kx::core::String;
using kx::net::URL;
using kx::util::JsonRpcClient;
using kx::util::RpcBadParamsException;
using kx::util::RpcException;
using kx::util::RpcMethodNotFoundException;
using kx::util::WebClient;
using kx::util::testing::FakeHttpAccess;
using kx::util::testing::u8;

namespace {

class JsonRpcClientTest : public ::testing::Test {
protected:
    // The message of the exception that call() throws ("<none>" when it returns).
    std::string failure(const wchar_t* method = L"ping") {
        try {
            rpc.call(method, AnyDictionary());
        } catch (const Exception& e) {
            return u8(e.message());
        }
        return "<none>";
    }

    AnyDictionary sentBody(size_t call) {
        AnyDictionary body;
        EXPECT_TRUE(kx::core::JsonParser::parseDictionary(
            String::fromUtf8(access.calls.at(call).request.body), body));
        return body;
    }

    // A well-formed answer to the next request id.
    std::string answerFor(const char* member) {
        const int32_t id = JsonRpcClient::takeId();
        JsonRpcClient::setNextIdForTests(id);
        return std::string("{\"jsonrpc\":\"2.0\",\"id\":") + std::to_string(id) + "," + member +
               "}";
    }

    FakeHttpAccess access;
    WebClient web{&access};
    JsonRpcClient rpc{&web, URL(L"https://api.test/v1/util")};
};

}  // namespace

TEST_F(JsonRpcClientTest, RequestIsAJsonRpcPostAndIdsIncrease) {
    access.repeat = true;
    access.answer(200, "{}");  // unreadable answers do not matter here
    AnyDictionary params;
    params.set(L"token", Any(String(L"t-1")));
    params.set(L"names", Any(kx::core::AnyArray{Any(String(L"a")), Any(int32_t(2))}));
    EXPECT_THROW(rpc.call(L"enum_targets", params), Exception);
    EXPECT_THROW(rpc.call(L"enum_targets", params), Exception);
    ASSERT_EQ(access.calls.size(), 2u);

    const kx::net::HttpRequest& r = access.calls[0].request;
    EXPECT_EQ(u8(r.method), "POST");
    EXPECT_EQ(u8(r.url), "https://api.test/v1/util");
    EXPECT_TRUE(access.calls[0].secure);
    EXPECT_EQ(access.header(0, L"Content-Type"), "application/json");
    AnyDictionary first = sentBody(0);
    EXPECT_EQ(u8(first.get(L"jsonrpc").as<String>()), "2.0");
    EXPECT_EQ(u8(first.get(L"method").as<String>()), "enum_targets");
    const AnyDictionary& sentParams = first.get(L"params").as<AnyDictionary>();
    EXPECT_EQ(u8(sentParams.get(L"token").as<String>()), "t-1");
    EXPECT_EQ(sentParams.get(L"names").as<kx::core::AnyArray>().size(), 2);

    const int64_t n = kx::core::AnyConvert::toInt64(first.get(L"id"));
    EXPECT_GE(n, 1);
    EXPECT_EQ(kx::core::AnyConvert::toInt64(sentBody(1).get(L"id")), n + 1);
}

TEST(JsonRpcClientIdTest, CounterRestartsAtOneInsteadOfOverflowing) {
    JsonRpcClient::setNextIdForTests(std::numeric_limits<int32_t>::max());
    EXPECT_EQ(JsonRpcClient::takeId(), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(JsonRpcClient::takeId(), 1);
    EXPECT_EQ(JsonRpcClient::takeId(), 2);
}

TEST_F(JsonRpcClientTest, ReturnsTheResultMember) {
    access.answer(200, answerFor("\"result\":{\"token\":\"abc\",\"n\":7}").c_str());
    Any result = rpc.call(L"create", AnyDictionary());
    ASSERT_TRUE(result.is<AnyDictionary>());
    EXPECT_EQ(u8(result.as<AnyDictionary>().get(L"token").as<String>()), "abc");

    access.answer(200, answerFor("\"result\":null").c_str());
    EXPECT_TRUE(rpc.call(L"update", AnyDictionary()).isEmpty());

    // "error": null beside a result is no error.
    access.answer(200, answerFor("\"error\":null,\"result\":[1]").c_str());
    EXPECT_TRUE(rpc.call(L"update", AnyDictionary()).is<kx::core::AnyArray>());
}

TEST_F(JsonRpcClientTest, HttpFailureTexts) {
    access.answer(500);
    EXPECT_EQ(failure(), "HTTP: 500");
    access.answer(502, "", L"Bad Gateway");
    EXPECT_EQ(failure(), "HTTP: 502-Bad Gateway");
    access.fail();
    EXPECT_EQ(failure(), "HTTP: 无法访问网络");
    access.fail(L"无可用解析");
    EXPECT_EQ(failure(), "HTTP: 无可用解析");

    JsonRpcClient detached(nullptr, URL(L"http://h/"));
    try {
        detached.call(L"ping", AnyDictionary());
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(u8(e.message()), "HTTP: 无法访问网络");
    }
}

TEST_F(JsonRpcClientTest, UnreadableBodyQuotesAtMost64Characters) {
    const std::string html =
        "<html><head><title>502 Bad Gateway</title></head><body>nginx said no, very long "
        "page</body></html>";
    access.answer(200, html.c_str());
    EXPECT_EQ(failure(), "响应内容不是有效JSON格式: '" + html.substr(0, 64) + "...'");

    access.answer(200, "[1,2]");  // valid JSON, but not an object
    EXPECT_EQ(failure(), "响应内容不是有效JSON格式: '[1,2]...'");
    access.answer(200, "中文");  // characters, not bytes, are counted
    EXPECT_EQ(failure(), "响应内容不是有效JSON格式: '中文...'");
}

TEST_F(JsonRpcClientTest, ErrorObjectsBecomeRpcExceptions) {
    access.answer(200, answerFor("\"error\":{\"code\":-32601,\"message\":\"abc\"}").c_str());
    try {
        rpc.call(L"nope", AnyDictionary());
        ADD_FAILURE();
    } catch (const RpcMethodNotFoundException& e) {
        EXPECT_EQ(e.code(), -32601);
        EXPECT_EQ(u8(e.message()), "abc");
    }

    access.answer(200, answerFor("\"error\":{\"code\":-32602,\"message\":\"bad\"}").c_str());
    EXPECT_THROW(rpc.call(L"x", AnyDictionary()), RpcBadParamsException);

    access.answer(200, answerFor("\"error\":{\"code\":4001,\"message\":\"令牌无效\"}").c_str());
    try {
        rpc.call(L"x", AnyDictionary());
        ADD_FAILURE();
    } catch (const RpcMethodNotFoundException&) {
        ADD_FAILURE();
    } catch (const RpcBadParamsException&) {
        ADD_FAILURE();
    } catch (const RpcException& e) {
        EXPECT_EQ(e.code(), 4001);
        EXPECT_EQ(u8(e.message()), "令牌无效");
    }
}

TEST_F(JsonRpcClientTest, MalformedAnswersThrowTheirTexts) {
    const std::string badError =
        "收到一个 JSON-RPC 异常, 但 'error' 字段结构不正确, 未能读取异常描述";
    const char* malformedErrors[] = {
        "{\"id\":1,\"error\":{\"code\":\"-32601\",\"message\":\"m\"}}",
        "{\"id\":1,\"error\":{\"code\":1.5,\"message\":\"m\"}}",
        "{\"id\":1,\"error\":{\"code\":1,\"message\":2}}",
        "{\"id\":1,\"error\":{\"message\":\"m\"}}",
        "{\"id\":1,\"error\":{\"code\":9999999999,\"message\":\"m\"}}",
        "{\"id\":1,\"error\":\"boom\"}",
        "{\"id\":1,\"error\":[]}",
    };
    for (const char* body : malformedErrors) {
        access.answer(200, body);
        EXPECT_EQ(failure(), badError) << body;
    }

    access.answer(200, answerFor("\"other\":1").c_str());
    EXPECT_EQ(failure(),
              "JSON-RPC 收到一个不正确的响应结构, 既没有 'error' 字段也没有 'result' 字段");

    const std::string wrongId = "JSON-RPC 响应中的 'id' 与请求的不一致";
    const int32_t id = JsonRpcClient::takeId();
    JsonRpcClient::setNextIdForTests(id);
    access.answer(200, ("{\"id\":" + std::to_string(id + 1) + ",\"result\":1}").c_str());
    EXPECT_EQ(failure(), wrongId);
    access.answer(200, "{\"result\":1}");
    EXPECT_EQ(failure(), wrongId);
}

TEST_F(JsonRpcClientTest, NoServerAnswerCanCrashTheClient) {
    // Every prefix of a valid answer, and a few hostile shapes: call() either
    // returns or throws a kx::core::Exception, nothing else.
    const int32_t id = JsonRpcClient::takeId();
    const std::string valid =
        "{\"id\":" + std::to_string(id) + ",\"result\":{\"a\":[1,{\"b\":null}],\"c\":\"\\u4e2d\"}}";
    std::vector<std::string> bodies;
    for (size_t i = 0; i <= valid.size(); ++i) bodies.push_back(valid.substr(0, i));
    bodies.push_back(std::string(100000, '['));
    bodies.push_back("{\"error\":{\"code\":-32601,\"message\":\"\\ud800\"}}");
    bodies.push_back(std::string("{\"result\":1,\"id\":\"") + std::string(5000, '9') + "\"}");
    bodies.push_back(std::string("\xff\xfe\x00garbage", 10));
    int returned = 0;
    for (const std::string& body : bodies) {
        kx::net::HttpResponse r = FakeHttpAccess::response(200);
        r.body = kx::core::Binary(body.data(), static_cast<int32_t>(body.size()));
        access.answer(r);
        JsonRpcClient::setNextIdForTests(id);
        try {
            rpc.call(L"ping", AnyDictionary());
            ++returned;
        } catch (const Exception&) {
        }
    }
    EXPECT_EQ(returned, 1);  // only the complete answer
}
