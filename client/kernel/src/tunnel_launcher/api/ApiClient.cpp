#include "tunnel_launcher/api/ApiClient.h"

#include <exception>

#include "core/src/exception/Exception.h"
#include "core/src/time/Clock.h"
#include "core/src/value/AnyConvert.h"
#include "tunnel_launcher/encrypt/ApiCatalogue.h"
#include "util/src/rpc/JsonRpcClient.h"
#include "util/src/rpc/RpcException.h"

namespace tunnel {

using kx::core::Any;
using kx::core::Array;
using kx::core::Dictionary;
using kx::core::String;
using kx::core::Strings;

namespace {

Array<Any> toAnyArray(const Strings& items) {
    Array<Any> out;
    for (const String& item : items) out.append(Any(item));
    return out;
}

}  // namespace

ApiClient::ApiClient(kx::util::IHttpAccess* access, const kx::net::URL& baseUrl)
    : m_webClient(access), m_baseUrl(baseUrl) {}

ApiClient::~ApiClient() = default;

uint32_t ApiClient::ping(int32_t timeoutMs) {
    const uint32_t start = kx::core::Clock::nowMs();
    if (!_call(ApiCatalogue::PATH_UTIL, ApiCatalogue::METHOD_PING, Dictionary<Any>(), nullptr, timeoutMs)) return PING_FAILED;
    uint32_t elapsed = kx::core::Clock::nowMs() - start;
    return elapsed == PING_FAILED ? PING_FAILED - 1 : elapsed;
}

bool ApiClient::accountCreate(const String& accessId, const String& version, const Marks& marks,
                              String& token) {
    Dictionary<Any> markObject;
    for (const auto& mark : marks) markObject.set(mark.first, Any(mark.second));
    Dictionary<Any> params;
    params.set(ApiCatalogue::PARAM_ACCESS_ID, Any(accessId));
    params.set(ApiCatalogue::PARAM_VERSION, Any(version));
    params.set(ApiCatalogue::PARAM_MARKS, Any(markObject));
    Dictionary<Any> result;
    if (!_call(ApiCatalogue::PATH_ACCOUNT, ApiCatalogue::METHOD_CREATE, params, &result, CALL_TIMEOUT)) return false;
    token = kx::core::AnyConvert::toText(result.get(ApiCatalogue::RESULT_TOKEN));
    return true;
}

bool ApiClient::accountUpdate(const String& accessId, const String& token, const String& version) {
    Dictionary<Any> params;
    params.set(ApiCatalogue::PARAM_ACCESS_ID, Any(accessId));
    params.set(ApiCatalogue::PARAM_TOKEN, Any(token));
    params.set(ApiCatalogue::PARAM_VERSION, Any(version));
    return _call(ApiCatalogue::PATH_ACCOUNT, ApiCatalogue::METHOD_UPDATE, params, nullptr, CALL_TIMEOUT);
}

bool ApiClient::enumTargets(const String& token, const Strings& names, const Strings& groups,
                            Array<Any>& targets) {
    Dictionary<Any> params;
    params.set(ApiCatalogue::PARAM_TOKEN, Any(token));
    params.set(ApiCatalogue::PARAM_TARGET_NAMES, Any(toAnyArray(names)));
    params.set(ApiCatalogue::PARAM_TARGET_GROUPS, Any(toAnyArray(groups)));
    Dictionary<Any> result;
    if (!_call(ApiCatalogue::PATH_INSTANCE, ApiCatalogue::METHOD_ENUM_TARGETS, params, &result, CALL_TIMEOUT)) return false;
    const Any* list = result.find(ApiCatalogue::RESULT_TARGETS);
    if (!list || !list->is<Array<Any>>()) return false;
    targets = list->as<Array<Any>>();
    return true;
}

bool ApiClient::_call(const String& path, const String& method, const Dictionary<Any>& params,
                      Dictionary<Any>* result, int32_t timeoutMs) {
    m_lastErrorCode = 0;
    m_lastErrorText.clear();
    m_webClient.setRequestTimeout(timeoutMs);
    m_webClient.setTotalTimeout(timeoutMs);
    try {
        kx::net::URL url(m_baseUrl);
        // A base path written with a trailing "/" must not yield "//util".
        url.setPath(url.path().trimSuffix(L"/") + path);
        kx::util::JsonRpcClient rpc(&m_webClient, url);
        Any answer = rpc.call(method, params);
        if (answer.isEmpty()) {
            if (result) result->clear();
            return true;
        }
        if (!answer.is<Dictionary<Any>>()) {
            m_lastErrorCode = -1;
            m_lastErrorText = L"Bad rpc return: not dic or null";
            return false;
        }
        if (result) *result = std::move(answer.as<Dictionary<Any>>());
        return true;
    } catch (const kx::util::RpcException& e) {
        m_lastErrorCode = e.code();
        m_lastErrorText = e.message();
    } catch (const kx::core::Exception& e) {
        m_lastErrorCode = -1;
        m_lastErrorText = e.message();
    } catch (const std::exception& e) {
        // Out of memory and the like: still a failed call, never an escape.
        m_lastErrorCode = -1;
        m_lastErrorText = String::fromUtf8(e.what());
    } catch (...) {
        m_lastErrorCode = -1;
        m_lastErrorText = L"Unknown failure";
    }
    return false;
}

}  // namespace tunnel
