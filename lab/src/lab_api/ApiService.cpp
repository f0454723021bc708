#include "lab_api/ApiService.h"

#include <ctime>
#include <sstream>

#include "core/src/crypto/Digest.h"
#include "core/src/json/JsonBuilder.h"
#include "core/src/json/JsonParser.h"
#include "core/src/misc/GUID.h"
#include "core/src/value/AnyConvert.h"
#include "net/src/http/HttpHeaderLookup.h"

namespace lab {

using kx::core::Any;
using kx::core::AnyConvert;
using kx::core::Array;
using kx::core::Binary;
using kx::core::Dictionary;
using kx::core::String;
using kx::net::HttpHeaderLookup;
using kx::net::HttpHeaders;

namespace {

const wchar_t* const PATHS[] = {tunnel::ApiCatalogue::PATH_UTIL, tunnel::ApiCatalogue::PATH_ACCOUNT, tunnel::ApiCatalogue::PATH_INSTANCE};

// Signed decimal seconds, as the client writes them ("%lld").
bool parseSeconds(const String& text, int64_t* out) {
    bool negative = !text.isEmpty() && text[0] == L'-';
    // 18 digits cannot overflow a signed 64-bit number.
    if (text.isEmpty() || text.length() > (negative ? 19 : 18)) return false;
    int64_t value = 0;
    for (int32_t i = negative ? 1 : 0; i < text.length(); ++i) {
        wchar_t c = text[i];
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + (c - L'0');
    }
    if (negative && text.length() == 1) return false;
    *out = negative ? -value : value;
    return true;
}

Binary format(int32_t status, const HttpHeaders& headers, const Binary& body, bool keepAlive) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " +
                       String(ApiService::reason(status)).toStdString() + "\r\n";
    for (const auto& item : headers)
        head += item.first.toStdString() + ": " + item.second.toStdString() + "\r\n";
    head += "Content-Length: " + std::to_string(body.length()) + "\r\n";
    head += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    Binary out = Binary::fromStdString(head);
    out.append(body);
    return out;
}

String textParam(const Dictionary<Any>& params, const wchar_t* key) {
    const Any& value = params.get(key);
    return value.is<String>() ? value.as<String>() : String();
}

}  // namespace

ApiService::ApiService(const ApiConfig& config)
    : m_config(config),
      m_encryptor(config.tea),
      m_targets(config.targets),
      m_fault(config.fault),
      m_faultPath(config.faultPath),
      m_faultLeft(config.faultCount),
      m_delayMs(config.delayMs),
      m_skewS(config.clockSkewS) {
    clock = []() { return static_cast<int64_t>(std::time(nullptr)); };
    for (const String& token : config.tokens) m_tokens.set(token, String());
    for (const String& token : config.revoked) m_revoked.set(token, true);
    for (const String& key : config.accessKeys)
        m_accessIds.set(kx::core::Digest::md5Hex(key), true);
}

ApiService::~ApiService() = default;

int64_t ApiService::serverTime() const {
    return clock() + m_skewS;
}

bool ApiService::tokenValid(const String& token) const {
    return !token.isEmpty() && m_tokens.contains(token) && !m_revoked.contains(token);
}

int32_t ApiService::calls(const String& method) const {
    return m_calls.get(method);
}

const wchar_t* ApiService::reason(int32_t status) {
    switch (status) {
        case 200:
            return L"OK";
        case 316:
            return L"Timestamp Out Of Range";
        case 400:
            return L"Bad Request";
        case 404:
            return L"Not Found";
        case 405:
            return L"Method Not Allowed";
        case 408:
            return L"Request Timeout";
        case 413:
            return L"Payload Too Large";
        case 431:
            return L"Request Header Fields Too Large";
        case 500:
            return L"Internal Server Error";
        case 501:
            return L"Not Implemented";
        case 502:
            return L"Bad Gateway";
        case 503:
            return L"Service Unavailable";
        case 505:
            return L"HTTP Version Not Supported";
        default:
            return L"Unknown";
    }
}

Binary ApiService::_plain(int32_t status, const String& text, const HttpHeaders& extra,
                          bool keepAlive) const {
    HttpHeaders headers = extra;
    headers.set(L"Content-Type", L"text/plain; charset=utf-8");
    return format(status, headers, (text + L"\n").toUtf8(), keepAlive);
}

ApiAnswer ApiService::refuse(int32_t status) const {
    ApiAnswer answer;
    answer.status = status;
    answer.close = true;
    answer.bytes = _plain(status, reason(status), HttpHeaders(), false);
    return answer;
}

bool ApiService::_takeFault(const String& path, ApiFault* out) {
    *out = ApiFault::NONE;
    if (m_fault == ApiFault::NONE) return false;
    if (!m_faultPath.isEmpty() && m_faultPath != path) return false;
    *out = m_fault;
    if (m_faultLeft > 0 && --m_faultLeft == 0) {
        m_fault = ApiFault::NONE;
        m_faultPath.clear();
    }
    return true;
}

ApiAnswer ApiService::handle(const ApiRequest& request) {
    ApiAnswer answer;
    ++m_requests;
    String target = request.target;
    int32_t query = target.indexOf(L'?');
    String path = query < 0 ? target : target.substring(0, query);
    String sub;
    if (path.startsWith(m_config.basePath)) sub = path.substring(m_config.basePath.length());
    bool known = false;
    for (const wchar_t* p : PATHS) known |= sub == p;
    if (!known) {
        answer.status = 404;
        answer.bytes = _plain(404, L"no such API path: " + path, HttpHeaders(), request.keepAlive);
        answer.close = !request.keepAlive;
        return answer;
    }
    if (request.method != L"POST") {
        HttpHeaders allow;
        allow.set(L"Allow", L"POST");
        answer.status = 405;
        answer.bytes = _plain(405, L"POST only", allow, request.keepAlive);
        answer.close = !request.keepAlive;
        return answer;
    }
    answer.close = !request.keepAlive;

    ApiFault fault;
    _takeFault(sub, &fault);
    int64_t now = serverTime();
    switch (fault) {
        case ApiFault::HTTP_500:
        case ApiFault::HTTP_502:
            answer.status = fault == ApiFault::HTTP_500 ? 500 : 502;
            answer.bytes =
                _plain(answer.status, reason(answer.status), HttpHeaders(), request.keepAlive);
            return answer;
        case ApiFault::SILENT:
            answer.silent = true;
            return answer;
        default:
            break;
    }

    // The envelope: a key of nonce + timestamp, checked against our clock.
    Binary body = request.body;
    String nonce = HttpHeaderLookup::value(request.headers, L"X-Ca-Nonce");
    bool enveloped = m_encryptor.hasEncoders();
    if (enveloped) {
        String stamp = HttpHeaderLookup::value(request.headers, L"X-Ca-Timestamp");
        String coding = HttpHeaderLookup::value(request.headers, L"Content-Encoding").toLower();
        int64_t seconds = 0;
        if (coding != L"encrypt" || nonce.isEmpty() || !parseSeconds(stamp, &seconds)) {
            answer.status = 400;
            answer.bytes = _plain(400,
                                  L"an enciphered body with X-Ca-Nonce and X-Ca-Timestamp "
                                  L"is required",
                                  HttpHeaders(), request.keepAlive);
            return answer;
        }
        int64_t off = seconds > now ? seconds - now : now - seconds;
        if (fault == ApiFault::TIMESTAMP || off > m_config.toleranceS) {
            HttpHeaders reset;
            reset.set(L"X-Ca-Timestamp-Reset", String::fromInt64(now));
            answer.status = tunnel::ApiCatalogue::STATUS_TIMESTAMP_REJECTED;
            answer.bytes = _plain(tunnel::ApiCatalogue::STATUS_TIMESTAMP_REJECTED, L"timestamp out of range", reset, request.keepAlive);
            return answer;
        }
        body = m_encryptor.decode(request.body, nonce + stamp);
        if (body.isEmpty() && !request.body.isEmpty()) {
            answer.status = 400;
            answer.bytes =
                _plain(400, L"the body does not decipher", HttpHeaders(), request.keepAlive);
            return answer;
        }
    } else if (fault == ApiFault::TIMESTAMP) {
        HttpHeaders reset;
        reset.set(L"X-Ca-Timestamp-Reset", String::fromInt64(now));
        answer.status = tunnel::ApiCatalogue::STATUS_TIMESTAMP_REJECTED;
        answer.bytes = _plain(tunnel::ApiCatalogue::STATUS_TIMESTAMP_REJECTED, L"timestamp out of range", reset, request.keepAlive);
        return answer;
    }

    Call call;
    call.path = sub;
    _dispatch(sub, body, &call);
    Dictionary<Any> reply;
    reply.set(L"jsonrpc", String(L"2.0"));
    reply.set(L"id", call.id);
    if (call.errorCode != 0) {
        Dictionary<Any> error;
        error.set(L"code", call.errorCode);
        error.set(L"message", call.errorText);
        reply.set(L"error", Any(error));
    } else {
        reply.set(L"result", call.result);
    }
    String json;
    kx::core::JsonBuilder::buildText(reply, json);
    Binary payload = json.toUtf8();
    if (fault == ApiFault::GARBAGE) payload = Binary("<html><body>lab garbage</body></html>");

    HttpHeaders headers;
    headers.set(L"Content-Type", L"application/json");
    if (enveloped) {
        String stamp = String::fromInt64(now);
        String answerNonce = nonce;
        if (fault == ApiFault::BAD_NONCE)
            answerNonce = String(nonce[0] == L'0' ? L"1" : L"0") + nonce.substring(1);
        payload = m_encryptor.encode(payload, answerNonce + stamp);
        headers.set(L"Content-Encoding", L"encrypt");
        headers.set(L"X-Ca-Nonce", answerNonce);
        headers.set(L"X-Ca-Timestamp", stamp);
    }
    if (fault == ApiFault::UNDECIPHERABLE) {
        // A length no block cipher output has (the trailer aside, not a
        // multiple of 8), so every decoder refuses it.
        payload = Binary("\x13\x57\x9b\xdf\x24\x68\xac\xe0\x11\x22\x33\x44");
    }
    answer.status = 200;
    answer.bytes = format(200, headers, payload, request.keepAlive);
    if (fault == ApiFault::DELAY) answer.delayMs = m_delayMs;
    if (fault == ApiFault::CUT) answer.cut = true;
    return answer;
}

void ApiService::_fail(Call* call, int32_t code, const wchar_t* text) const {
    call->errorCode = code;
    call->errorText = text;
}

void ApiService::_dispatch(const String& path, const Binary& body, Call* call) {
    Any parsed;
    if (!kx::core::JsonParser::parseAny(String::fromUtf8(body), parsed) ||
        !parsed.is<Dictionary<Any>>()) {
        _fail(call, -32700, L"Parse error");
        return;
    }
    const Dictionary<Any>& rpc = parsed.as<Dictionary<Any>>();
    call->id = rpc.get(L"id");
    const Any& methodAny = rpc.get(L"method");
    const Any& paramsAny = rpc.get(L"params");
    if (AnyConvert::toText(rpc.get(L"jsonrpc")) != L"2.0" || !methodAny.is<String>() ||
        !(paramsAny.isEmpty() || paramsAny.is<Dictionary<Any>>())) {
        _fail(call, -32600, L"Invalid Request");
        return;
    }
    String method = methodAny.as<String>();
    m_calls.set(method, m_calls.get(method) + 1);
    Dictionary<Any> params;
    if (paramsAny.is<Dictionary<Any>>()) params = paramsAny.as<Dictionary<Any>>();

    Dictionary<Any> result;
    if (path == tunnel::ApiCatalogue::PATH_UTIL && method == tunnel::ApiCatalogue::METHOD_PING) {
        result.set(L"time", serverTime());
    } else if (path == tunnel::ApiCatalogue::PATH_ACCOUNT && (method == tunnel::ApiCatalogue::METHOD_CREATE || method == tunnel::ApiCatalogue::METHOD_UPDATE)) {
        String accessId = textParam(params, tunnel::ApiCatalogue::PARAM_ACCESS_ID);
        String version = textParam(params, tunnel::ApiCatalogue::PARAM_VERSION);
        String token = textParam(params, tunnel::ApiCatalogue::PARAM_TOKEN);
        if (accessId.isEmpty() || !params.get(tunnel::ApiCatalogue::PARAM_VERSION).is<String>() ||
            (method == tunnel::ApiCatalogue::METHOD_UPDATE && token.isEmpty())) {
            _fail(call, -32602, L"Invalid params");
            return;
        }
        if (!m_accessIds.isEmpty() && !m_accessIds.contains(accessId)) {
            _fail(call, ACCESS_DENIED, L"Access denied");
            return;
        }
        if (method == tunnel::ApiCatalogue::METHOD_CREATE) {
            String fresh = kx::core::GUID::create().toString();
            m_tokens.set(fresh, accessId);
            result.set(tunnel::ApiCatalogue::RESULT_TOKEN, fresh);
        } else {
            const String* owner = m_tokens.find(token);
            // A granted token (owner "") serves any access id.
            if (!tokenValid(token) || !owner || (!owner->isEmpty() && *owner != accessId)) {
                _fail(call, TOKEN_REJECTED, L"Token rejected");
                return;
            }
        }
    } else if (path == tunnel::ApiCatalogue::PATH_INSTANCE && method == tunnel::ApiCatalogue::METHOD_ENUM_TARGETS) {
        String token = textParam(params, tunnel::ApiCatalogue::PARAM_TOKEN);
        if (token.isEmpty()) {
            _fail(call, -32602, L"Invalid params");
            return;
        }
        if (!tokenValid(token)) {
            _fail(call, TOKEN_REJECTED, L"Token rejected");
            return;
        }
        result.set(tunnel::ApiCatalogue::RESULT_TARGETS, Any(m_targets));
    } else {
        _fail(call, -32601, L"Method not found");
        return;
    }
    call->result = Any(result);
}

std::string ApiService::command(const std::string& line) {
    std::istringstream in(line);
    std::string verb, a, b, c;
    in >> verb >> a >> b >> c;
    if (verb == "fault") {
        ApiFault fault;
        if (!ApiFaults::parse(String::fromUtf8(a), &fault)) return "error unknown api fault: " + a;
        // The optional words are a path (starts with "/") and a count, in any order.
        String path;
        int32_t count = 0;
        for (const std::string& word : {b, c}) {
            if (word.empty()) continue;
            if (word[0] == '/') {
                path = String::fromUtf8(word);
            } else {
                count = atoi(word.c_str());
                if (count < 1) return "error the count must be a positive number: " + word;
            }
        }
        m_fault = fault;
        m_faultPath = fault == ApiFault::NONE ? String() : path;
        m_faultLeft = count;
        return "ok api fault " + a + (path.isEmpty() ? "" : " " + path.toStdString()) +
               (count ? " " + std::to_string(count) : "");
    }
    if (verb == "delay") {
        int32_t ms = atoi(a.c_str());
        if (a.empty() || ms < 0) return "error delay needs milliseconds";
        m_delayMs = ms;
        return "ok api delay " + std::to_string(ms);
    }
    if (verb == "skew") {
        if (a.empty()) return "error skew needs seconds";
        m_skewS = atoll(a.c_str());
        return "ok api skew " + std::to_string(m_skewS);
    }
    if (verb == "revoke") {
        if (a.empty()) return "error revoke needs a token or all";
        if (a == "all") {
            for (const auto& item : m_tokens) m_revoked.set(item.first, true);
        } else {
            m_revoked.set(String::fromUtf8(a), true);
        }
        return "ok api revoke " + a;
    }
    if (verb == "grant") {
        if (a.empty()) return "error grant needs a token";
        String token = String::fromUtf8(a);
        m_revoked.remove(token);
        if (!m_tokens.contains(token)) m_tokens.set(token, String());
        return "ok api grant " + a;
    }
    if (verb == "status") {
        int32_t live = 0;
        for (const auto& item : m_tokens) live += m_revoked.contains(item.first) ? 0 : 1;
        std::string text =
            std::string("ok api fault=") + String(ApiFaults::name(m_fault)).toStdString() +
            " delay=" + std::to_string(m_delayMs) + " skew=" + std::to_string(m_skewS) +
            " tokens=" + std::to_string(live) + " requests=" + std::to_string(m_requests);
        for (const wchar_t* method : {tunnel::ApiCatalogue::METHOD_PING, tunnel::ApiCatalogue::METHOD_CREATE, tunnel::ApiCatalogue::METHOD_UPDATE, tunnel::ApiCatalogue::METHOD_ENUM_TARGETS})
            text += " " + String(method).toStdString() + "=" + std::to_string(calls(method));
        return text;
    }
    return "error unknown api command: " + verb;
}

}  // namespace lab
