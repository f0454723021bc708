#include "util/src/rpc/JsonRpcClient.h"

#include <limits>
#include <mutex>

#include "core/src/json/JsonBuilder.h"
#include "core/src/json/JsonParser.h"
#include "core/src/value/AnyConvert.h"
#include "util/src/rpc/RpcBadParamsException.h"
#include "util/src/rpc/RpcMethodNotFoundException.h"

namespace kx {
namespace util {

using kx::core::Any;
using kx::core::AnyConvert;
using kx::core::Dictionary;
using kx::core::Exception;
using kx::core::String;

namespace {

std::mutex g_idMutex;
int32_t g_nextId = 1;

// An integer member that fits 32 bits; anything else cannot be read.
bool readInt32(const Any& value, int32_t& out) {
    int64_t wide;
    if (value.is<int8_t>()) {
        wide = value.as<int8_t>();
    } else if (value.is<int16_t>()) {
        wide = value.as<int16_t>();
    } else if (value.is<int32_t>()) {
        wide = value.as<int32_t>();
    } else if (value.is<int64_t>()) {
        wide = value.as<int64_t>();
    } else {
        return false;
    }
    if (wide < std::numeric_limits<int32_t>::min() || wide > std::numeric_limits<int32_t>::max()) {
        return false;
    }
    out = static_cast<int32_t>(wide);
    return true;
}

[[noreturn]] void throwErrorObject(const Any& error) {
    int32_t code = 0;
    const Any* codeValue = nullptr;
    const Any* message = nullptr;
    if (error.is<Dictionary<Any>>()) {
        codeValue = error.as<Dictionary<Any>>().find(L"code");
        message = error.as<Dictionary<Any>>().find(L"message");
    }
    if (!codeValue || !message || !readInt32(*codeValue, code) || !message->is<String>()) {
        throw Exception(L"收到一个 JSON-RPC 异常, 但 'error' 字段结构不正确, 未能读取异常描述");
    }
    const String& text = message->as<String>();
    if (code == RpcException::BAD_PARAMS) throw RpcBadParamsException(text);
    if (code == RpcException::METHOD_NOT_FOUND) throw RpcMethodNotFoundException(text);
    throw RpcException(code, text);
}

}  // namespace

JsonRpcClient::JsonRpcClient(WebClient* webClient, const kx::net::URL& url)
    : m_webClient(webClient), m_url(url) {}

int32_t JsonRpcClient::takeId() {
    std::lock_guard<std::mutex> lock(g_idMutex);
    const int32_t id = g_nextId;
    g_nextId = id == std::numeric_limits<int32_t>::max() ? 1 : id + 1;
    return id;
}

void JsonRpcClient::setNextIdForTests(int32_t next) {
    std::lock_guard<std::mutex> lock(g_idMutex);
    g_nextId = next > 0 ? next : 1;
}

void JsonRpcClient::_throwHttpFailure() const {
    int32_t status = kx::net::HttpResponse::NO_STATUS;
    String reason;
    if (m_webClient) {
        status = m_webClient->lastResponse().status;
        reason = m_webClient->lastResponse().reason;
    }
    const bool hasStatus = status >= 0;
    if (hasStatus && !reason.isEmpty()) {
        throw Exception(String(L"HTTP: ") + String::fromInt32(status) + L"-" + reason);
    }
    if (hasStatus) throw Exception(String(L"HTTP: ") + String::fromInt32(status));
    if (!reason.isEmpty()) throw Exception(String(L"HTTP: ") + reason);
    throw Exception(L"HTTP: 无法访问网络");
}

Any JsonRpcClient::call(const String& method, const Dictionary<Any>& params) {
    const int32_t id = takeId();
    Dictionary<Any> request;
    request.set(L"jsonrpc", Any(String(L"2.0")));
    request.set(L"id", Any(id));
    request.set(L"method", Any(method));
    request.set(L"params", Any(params));

    String text;
    kx::core::Binary body;
    if (kx::core::JsonBuilder::buildText(request, text)) body = text.toUtf8();
    // Text that has no UTF-8 form (a lone surrogate) must not go out as an empty body.
    if (body.isEmpty()) throw Exception(L"未能将请求内容转换为JSON格式");

    const WebClient::Content content(L"application/json", std::move(body));
    if (!m_webClient ||
        !m_webClient->request(L"POST", m_url, WebClient::Headers(), content, true)) {
        _throwHttpFailure();
    }

    const String reply = String::fromUtf8(m_webClient->lastResponse().body);
    Dictionary<Any> response;
    if (!kx::core::JsonParser::parseDictionary(reply, response)) {
        throw Exception(String(L"响应内容不是有效JSON格式: '") + reply.substring(0, QUOTE_LIMIT) +
                        L"...'");
    }

    // Some servers send "error": null beside a result; that is no error.
    const Any* error = response.find(L"error");
    if (error && !error->isEmpty()) throwErrorObject(*error);

    const Any* result = response.find(L"result");
    if (!result) {
        throw Exception(
            L"JSON-RPC 收到一个不正确的响应结构, 既没有 'error' 字段也没有 'result' 字段");
    }
    if (AnyConvert::toInt64(response.get(L"id")) != id) {
        throw Exception(L"JSON-RPC 响应中的 'id' 与请求的不一致");
    }
    return *result;
}

}  // namespace util
}  // namespace kx
