#include <gtest/gtest.h>

#include <string>

#include "core/src/crypto/Digest.h"
#include "core/src/json/JsonBuilder.h"
#include "core/src/json/JsonParser.h"
#include "core/src/value/AnyConvert.h"
#include "lab_api/ApiRequestParser.h"
#include "lab_api/ApiService.h"
#include "lab_switch/SwitchConfig.h"
#include "tunnel_launcher/encrypt/Encryptor.h"

using kx::core::Any;
using kx::core::AnyConvert;
using kx::core::Array;
using kx::core::Binary;
using kx::core::Dictionary;
using kx::core::String;
using lab::ApiAnswer;
using lab::ApiConfig;
using lab::ApiRequest;
using lab::ApiRequestParser;
using lab::ApiService;

namespace {

const int64_t NOW = 1800000000;
const wchar_t* const TEA = L"tea(lab-pass); tea(second)";

// Splits an answer into status, headers (lower-cased names) and body.
struct Parsed {
    int status = 0;
    Dictionary<String> headers;
    Binary body;
};

Parsed split(const Binary& bytes) {
    Parsed out;
    std::string text = bytes.toStdString();
    size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) return out;
    out.status = atoi(text.substr(9, 3).c_str());
    size_t pos = text.find("\r\n") + 2;
    while (pos < end) {
        size_t eol = text.find("\r\n", pos);
        std::string line = text.substr(pos, eol - pos);
        size_t colon = line.find(':');
        out.headers.set(String::fromUtf8(line.substr(0, colon)).toLower(),
                        String::fromUtf8(line.substr(colon + 2)));
        pos = eol + 2;
    }
    out.body = Binary::fromStdString(text.substr(end + 4));
    return out;
}

// The service and a client-side envelope around it, on a fixed clock.
class ServiceBench {
public:
    explicit ServiceBench(ApiConfig config = ApiConfig()) : m_codec(TEA) {
        if (config.tea.isEmpty()) config.tea = TEA;
        service.reset(new ApiService(config));
        service->clock = []() { return NOW; };
    }

    ApiRequest request(const wchar_t* path, const std::wstring& json, int64_t stamp = NOW) {
        ApiRequest r;
        r.method = L"POST";
        r.target = path;
        String nonce = L"0123456789abcdef";
        String ts = String::fromInt64(stamp);
        r.headers.set(L"Content-Encoding", L"encrypt");
        r.headers.set(L"X-Ca-Nonce", nonce);
        r.headers.set(L"X-Ca-Timestamp", ts);
        r.body = m_codec.encode(String(json.c_str()).toUtf8(), nonce + ts);
        return r;
    }

    // The JSON-RPC reply of a 200 answer, deciphered as a client would.
    Dictionary<Any> reply(const ApiAnswer& answer) {
        Parsed p = split(answer.bytes);
        EXPECT_EQ(200, p.status);
        Binary plain =
            m_codec.decode(p.body, p.headers.get(L"x-ca-nonce") + p.headers.get(L"x-ca-timestamp"));
        Dictionary<Any> out;
        EXPECT_TRUE(kx::core::JsonParser::parseDictionary(String::fromUtf8(plain), out))
            << plain.toStdString();
        return out;
    }

    Dictionary<Any> call(const wchar_t* path, const std::wstring& json) {
        return reply(service->handle(request(path, json)));
    }

    std::unique_ptr<ApiService> service;

private:
    tunnel::Encryptor m_codec;
};

int32_t errorCode(const Dictionary<Any>& reply) {
    return AnyConvert::toInt32(reply.get(L"error").as<Dictionary<Any>>().get(L"code"));
}

std::wstring rpc(const std::wstring& method, const std::wstring& params) {
    return L"{\"jsonrpc\":\"2.0\",\"id\":5,\"method\":\"" + method + L"\",\"params\":" + params +
           L"}";
}

}  // namespace

TEST(LabApiService, AccountLifecycleAndRevokedTokens) {
    ServiceBench bench;
    Array<Any> targets;
    Dictionary<Any> target;
    target.set(L"id", 7);
    targets.append(Any(target));
    bench.service->setTargets(targets);

    Dictionary<Any> created = bench.call(
        L"/account", rpc(L"create", L"{\"access_id\":\"abc\",\"version\":\"1.0\",\"marks\":{}}"));
    EXPECT_EQ(5, AnyConvert::toInt32(created.get(L"id")));
    String token = AnyConvert::toText(created.get(L"result").as<Dictionary<Any>>().get(L"token"));
    ASSERT_EQ(32, token.length());
    std::wstring tokenJson = L"\"" + std::wstring(token.c_str()) + L"\"";

    Dictionary<Any> updated =
        bench.call(L"/account", rpc(L"update", L"{\"access_id\":\"abc\",\"token\":" + tokenJson +
                                                   L",\"version\":\"1.1\"}"));
    EXPECT_TRUE(updated.get(L"result").is<Dictionary<Any>>());
    Dictionary<Any> listed = bench.call(
        L"/instance", rpc(L"enum_targets", L"{\"token\":" + tokenJson +
                                               L",\"target_names\":[],\"target_groups\":[]}"));
    const Any& list = listed.get(L"result").as<Dictionary<Any>>().get(L"targets");
    ASSERT_TRUE(list.is<Array<Any>>());
    EXPECT_EQ(1, list.as<Array<Any>>().size());

    // A token issued to another access id, an unknown one and a revoked one
    // are all rejected with 101.
    EXPECT_EQ(101, errorCode(bench.call(L"/account",
                                        rpc(L"update", L"{\"access_id\":\"other\",\"token\":" +
                                                           tokenJson + L",\"version\":\"1\"}"))));
    EXPECT_EQ(101,
              errorCode(bench.call(L"/instance", rpc(L"enum_targets", L"{\"token\":\"nope\"}"))));
    EXPECT_EQ("ok api revoke " + token.toStdString(),
              bench.service->command("revoke " + token.toStdString()));
    EXPECT_EQ(101, errorCode(bench.call(L"/instance",
                                        rpc(L"enum_targets", L"{\"token\":" + tokenJson + L"}"))));
    EXPECT_EQ(1, bench.service->calls(L"create"));
    EXPECT_EQ(3, bench.service->calls(L"enum_targets"));
}

TEST(LabApiService, RpcErrorsAndAccessKeys) {
    ApiConfig config;
    config.accessKeys.append(L"demo-access-key");
    ServiceBench bench(config);
    String allowed = kx::core::Digest::md5Hex(String(L"demo-access-key"));
    struct Case {
        const wchar_t* path;
        std::wstring json;
        int32_t code;
    } cases[] = {
        {L"/util", L"{\"jsonrpc\":\"2.0\",\"id\":1,", -32700},
        {L"/util", L"[1,2]", -32700},
        {L"/util", L"{\"jsonrpc\":\"1.0\",\"id\":1,\"method\":\"ping\"}", -32600},
        {L"/util", rpc(L"create", L"{}"), -32601},
        {L"/instance", rpc(L"ping", L"{}"), -32601},
        {L"/account", rpc(L"create", L"{\"version\":\"1\"}"), -32602},
        {L"/account", rpc(L"update", L"{\"access_id\":\"x\",\"version\":\"1\"}"), -32602},
        {L"/account", rpc(L"create", L"{\"access_id\":\"x\",\"version\":\"1\"}"), 102},
        {L"/instance", rpc(L"enum_targets", L"{\"token\":7}"), -32602},
        {L"/account",
         rpc(L"create",
             L"{\"access_id\":\"" + std::wstring(allowed.c_str()) + L"\",\"version\":\"1\"}"),
         0},
        {L"/util", rpc(L"ping", L"{}"), 0},
    };
    for (const Case& c : cases) {
        Dictionary<Any> reply = bench.call(c.path, c.json);
        SCOPED_TRACE(String(c.json.c_str()).toStdString());
        if (c.code == 0) {
            EXPECT_TRUE(reply.contains(L"result"));
        } else {
            ASSERT_TRUE(reply.contains(L"error"));
            EXPECT_EQ(c.code, errorCode(reply));
        }
    }
}

TEST(LabApiService, EnvelopeIsCheckedAgainstTheServerClock) {
    ApiConfig config;
    config.toleranceS = 60;
    config.clockSkewS = 1000;
    ServiceBench bench(config);
    std::wstring ping = rpc(L"ping", L"{}");

    // A clock 1000 s behind the server's: 316 naming the server's time.
    Parsed off = split(bench.service->handle(bench.request(L"/util", ping)).bytes);
    EXPECT_EQ(316, off.status);
    EXPECT_EQ(String::fromInt64(NOW + 1000), off.headers.get(L"x-ca-timestamp-reset"));
    // Corrected by that header, within the tolerance either way.
    for (int64_t stamp : {NOW + 1000, NOW + 1060, NOW + 940}) {
        ApiAnswer answer = bench.service->handle(bench.request(L"/util", ping, stamp));
        EXPECT_EQ(200, answer.status) << stamp;
    }
    EXPECT_EQ(316, bench.service->handle(bench.request(L"/util", ping, NOW + 1061)).status);

    // Requests the envelope does not cover.
    ApiRequest plain = bench.request(L"/util", ping, NOW + 1000);
    plain.headers.remove(L"Content-Encoding");
    EXPECT_EQ(400, bench.service->handle(plain).status);
    ApiRequest garbled = bench.request(L"/util", ping, NOW + 1000);
    garbled.body.resize(garbled.body.length() - 2);
    EXPECT_EQ(400, bench.service->handle(garbled).status);
    ApiRequest badStamp = bench.request(L"/util", ping, NOW + 1000);
    // Not a number, and numbers too long for 64 bits (no wrap-around into range).
    for (const wchar_t* stamp : {L"12x", L"-", L"9999999999999999999", L"18446744073709551617"}) {
        badStamp.headers.set(L"X-Ca-Timestamp", stamp);
        EXPECT_EQ(400, bench.service->handle(badStamp).status) << String(stamp).toStdString();
    }
    ApiRequest get = bench.request(L"/util", ping, NOW + 1000);
    get.method = L"GET";
    EXPECT_EQ(405, bench.service->handle(get).status);
    EXPECT_EQ(404, bench.service->handle(bench.request(L"/utilx", ping, NOW + 1000)).status);
}

TEST(LabApiService, FaultsApplyToTheirPathAndCount) {
    ApiConfig config;
    config.fault = lab::ApiFault::HTTP_500;
    config.faultPath = L"/instance";
    config.faultCount = 1;
    config.tokens.append(L"given");
    config.tokens.append(L"gone");
    config.revoked.append(L"gone");
    ServiceBench bench(config);
    std::wstring ping = rpc(L"ping", L"{}");
    // From the file: one 500 on /instance only; tokens accepted and refused from the start.
    EXPECT_EQ(200, bench.service->handle(bench.request(L"/util", ping)).status);
    std::wstring given = rpc(L"enum_targets", L"{\"token\":\"given\"}");
    EXPECT_EQ(500, bench.service->handle(bench.request(L"/instance", given)).status);
    EXPECT_TRUE(bench.call(L"/instance", given).contains(L"result"));
    EXPECT_EQ(101,
              errorCode(bench.call(L"/instance", rpc(L"enum_targets", L"{\"token\":\"gone\"}"))));
    EXPECT_EQ("ok api fault http_502 /util 2", bench.service->command("fault http_502 2 /util"));
    EXPECT_EQ(200, bench.service->handle(bench.request(L"/account", rpc(L"x", L"{}"))).status);
    EXPECT_EQ(502, bench.service->handle(bench.request(L"/util", ping)).status);
    EXPECT_EQ(502, bench.service->handle(bench.request(L"/util", ping)).status);
    EXPECT_EQ(200, bench.service->handle(bench.request(L"/util", ping)).status);
    EXPECT_EQ(lab::ApiFault::NONE, bench.service->fault());

    struct Case {
        const char* fault;
        int status;
    } cases[] = {{"http_500", 500},  {"timestamp", 316}, {"garbage", 200}, {"undecipherable", 200},
                 {"bad_nonce", 200}, {"delay", 200},     {"cut", 200},     {"silent", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_EQ(0, bench.service->command(std::string("fault ") + c.fault + " 1").find("ok"));
        ApiAnswer answer = bench.service->handle(bench.request(L"/util", ping));
        EXPECT_EQ(c.status, answer.status);
        Parsed p = split(answer.bytes);
        std::string fault = c.fault;
        EXPECT_EQ(fault == "silent", answer.silent);
        EXPECT_EQ(fault == "cut", answer.cut);
        EXPECT_EQ(fault == "delay" ? 1000 : 0, answer.delayMs);
        if (fault == "timestamp") {
            EXPECT_TRUE(p.headers.contains(L"x-ca-timestamp-reset"));
        }
        if (fault == "bad_nonce") {
            EXPECT_NE(String(L"0123456789abcdef"), p.headers.get(L"x-ca-nonce"));
        }
        if (fault == "garbage" || fault == "undecipherable") {
            tunnel::Encryptor codec(TEA);
            Binary plain = codec.decode(
                p.body, p.headers.get(L"x-ca-nonce") + p.headers.get(L"x-ca-timestamp"));
            Any parsed;
            EXPECT_FALSE(kx::core::JsonParser::parseAny(String::fromUtf8(plain), parsed));
            EXPECT_EQ(fault == "undecipherable", plain.isEmpty());
        }
    }
    for (const char* bad : {"fault explode", "fault cut 0", "delay", "skew", "revoke", "nonsense"})
        EXPECT_EQ(0u, bench.service->command(bad).find("error")) << bad;
}

TEST(LabApiConfig, ParsesTheApiSection) {
    struct Case {
        const wchar_t* api;
        bool ok;
    } cases[] = {
        {L"{\"listen\": \"127.0.0.1:7300\", \"https_listen\": \"127.0.0.1:0\", \"tea\": \"tea(x)\","
         L" \"fault\": \"cut\", \"fault_count\": 2, \"node_types\": {\"a\": \"bandwidth\"},"
         L" \"targets\": [], \"base_path\": \"/v1/\"}",
         true},
        {L"{}", false},
        {L"{\"listen\": \"0.0.0.0:7300\"}", false},
        {L"{\"listen\": \"127.0.0.1:7300\", \"fault\": \"explode\"}", false},
        {L"{\"listen\": \"127.0.0.1:7300\", \"cert_file\": \"c.pem\"}", false},
        {L"{\"listen\": \"127.0.0.1:7300\", \"head_limit\": 10}", false},
        {L"{\"listen\": \"127.0.0.1:7300\", \"targets\": {}}", false},
        {L"[]", false},
    };
    for (const Case& c : cases) {
        lab::LabConfig config;
        String error;
        bool ok = lab::LabConfig::fromJson(String(L"{\"switches\": [], \"api\": ") + c.api + L"}",
                                           &config, &error);
        EXPECT_EQ(c.ok, ok) << String(c.api).toStdString() << " " << error.toStdString();
        if (!ok) {
            EXPECT_FALSE(error.isEmpty());
        }
        if (!ok || !c.ok) continue;
        EXPECT_TRUE(config.api.enabled);
        EXPECT_EQ(String(L"127.0.0.1:7300"), config.api.listen.toString());
        EXPECT_TRUE(config.api.hasHttps);
        EXPECT_EQ(lab::ApiFault::CUT, config.api.fault);
        EXPECT_EQ(2, config.api.faultCount);
        EXPECT_EQ(String(L"bandwidth"), config.api.nodeTypes.get(L"a"));
        EXPECT_TRUE(config.api.hasTargets);
        EXPECT_EQ(String(L"/v1"), config.api.basePath);
    }
    lab::LabConfig without;
    ASSERT_TRUE(lab::LabConfig::fromJson(L"{\"switches\": []}", &without, nullptr));
    EXPECT_FALSE(without.api.enabled);
}

TEST(LabApiParser, ReadsBoundedRequests) {
    ApiRequestParser parser(256, 64);
    std::string big(300, 'a');
    struct Case {
        std::string bytes;
        ApiRequestParser::Result result;
        int status;      // FAILED
        int consumed;    // DONE
        bool keepAlive;  // DONE
    } cases[] = {
        {"POST /util HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcNEXT", ApiRequestParser::DONE, 0, 45,
         true},
        {"POST /util HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc",
         ApiRequestParser::DONE, 0, 64, true},
        {"POST / HTTP/1.0\r\n\r\n", ApiRequestParser::DONE, 0, 19, false},
        {"POST / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", ApiRequestParser::DONE, 0, 43, true},
        {"POST / HTTP/1.1\r\nConnection: close\r\n\r\n", ApiRequestParser::DONE, 0, 38, false},
        {"POST /util HTTP/1.1\r\nContent-Length: 3\r\n\r\nab", ApiRequestParser::NEED_MORE, 0, 0,
         true},
        {"POST /util HTTP/1.1\r\nHost: x\r\n", ApiRequestParser::NEED_MORE, 0, 0, true},
        {"POST /util HTTP/1.1\r\nX: " + big, ApiRequestParser::FAILED, 431, 0, true},
        {"POST / HTTP/1.1\r\nX: " + big + "\r\n\r\n", ApiRequestParser::FAILED, 431, 0, true},
        {"POST / HTTP/1.1\r\nContent-Length: 65\r\n\r\n", ApiRequestParser::FAILED, 413, 0, true},
        {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
         ApiRequestParser::FAILED, 400, 0, true},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n",
         ApiRequestParser::FAILED, 400, 0, true},
        {"POST / HTTP/1.1\r\nContent-Length: -3\r\n\r\n", ApiRequestParser::FAILED, 400, 0, true},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", ApiRequestParser::FAILED, 501, 0,
         true},
        {"POST / HTTP/2.0\r\n\r\n", ApiRequestParser::FAILED, 505, 0, true},
        {"POST / FTP/1.0\r\n\r\n", ApiRequestParser::FAILED, 400, 0, true},
        {"POST  / HTTP/1.1\r\n\r\n", ApiRequestParser::FAILED, 400, 0, true},
        {"POST / HTTP/1.1\nX: y\r\n\r\n", ApiRequestParser::FAILED, 400, 0, true},
        {"POST / HTTP/1.1\r\nX: y\r\n folded\r\n\r\n", ApiRequestParser::FAILED, 400, 0, true},
        {std::string("POST / HTTP/1.1\r\nX\0: y\r\n\r\n", 26), ApiRequestParser::FAILED, 400, 0,
         true},
        {"P(ST / HTTP/1.1\r\n\r\n", ApiRequestParser::FAILED, 400, 0, true},
        {"\x16\x03\x01\x02\x05\x01\r\n\r\n", ApiRequestParser::FAILED, 400, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        ApiRequest request;
        int32_t consumed = 0;
        int32_t status = 0;
        ApiRequestParser::Result result =
            parser.parse(Binary::fromStdString(c.bytes), &request, &consumed, &status);
        ASSERT_EQ(c.result, result);
        if (result == ApiRequestParser::FAILED) {
            EXPECT_EQ(c.status, status);
        }
        if (result != ApiRequestParser::DONE) continue;
        EXPECT_EQ(c.consumed, consumed);
        EXPECT_EQ(c.keepAlive, request.keepAlive);
    }
    ApiRequest request;
    int32_t consumed = 0, status = 0;
    ASSERT_EQ(ApiRequestParser::DONE,
              parser.parse(Binary::fromStdString(cases[0].bytes), &request, &consumed, &status));
    EXPECT_EQ(String(L"/util"), request.target);
    EXPECT_EQ("abc", request.body.toStdString());
}
