#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/src/value/Any.h"
#include "core/src/value/Array.h"
#include "core/src/value/Dictionary.h"
#include "core/src/value/Map.h"
#include "core/src/value/String.h"
#include "lab_api/ApiAnswer.h"
#include "lab_api/ApiConfig.h"
#include "lab_api/ApiRequest.h"
#include "tunnel_launcher/encrypt/Encryptor.h"
#include "tunnel_launcher/encrypt/ApiCatalogue.h"

namespace lab {

// The control API without any I/O: an enveloped JSON-RPC request in, the
// HTTP answer out. Keeps the issued tokens, the target records, the faults
// and call counters. Used from one thread (the lab's loop).
//
//   "/util"     ping                             -> {"time": server seconds}
//   "/account"  create(access_id, version, marks) -> {"token": new token}
//               update(access_id, token, version) -> {}
//   "/instance" enum_targets(token, ...)          -> {"targets": [...]}
class ApiService {
public:
    static constexpr int32_t TOKEN_REJECTED = tunnel::ApiCatalogue::TOKEN_REJECTED;
    static constexpr int32_t ACCESS_DENIED = tunnel::ApiCatalogue::ACCESS_DENIED;

    explicit ApiService(const ApiConfig& config);
    ~ApiService();
    ApiService(const ApiService&) = delete;
    ApiService& operator=(const ApiService&) = delete;

    // Seconds since 1970 before the configured skew; the wall clock unless
    // a test replaces it.
    std::function<int64_t()> clock;

    void setTargets(const kx::core::Array<kx::core::Any>& targets) { m_targets = targets; }
    const kx::core::Array<kx::core::Any>& targets() const { return m_targets; }

    ApiAnswer handle(const ApiRequest& request);
    // The answer to a request that could not be read: a plain status, then close.
    ApiAnswer refuse(int32_t status) const;

    // One admin command without its "api" word; one answer line.
    //   fault NAME [PATH] [COUNT] | delay MS | skew SECONDS
    //   revoke TOKEN|all | grant TOKEN | status
    std::string command(const std::string& line);

    // How often a JSON-RPC method was called (answered or not).
    int32_t calls(const kx::core::String& method) const;
    bool tokenValid(const kx::core::String& token) const;
    int64_t serverTime() const;
    ApiFault fault() const { return m_fault; }

    static const wchar_t* reason(int32_t status);

private:
    struct Call {
        kx::core::String path;
        kx::core::Any id;
        kx::core::Any result;  // when no error
        int32_t errorCode = 0;
        kx::core::String errorText;
    };

    bool _takeFault(const kx::core::String& path, ApiFault* out);
    void _dispatch(const kx::core::String& path, const kx::core::Binary& body, Call* call);
    void _fail(Call* call, int32_t code, const wchar_t* text) const;
    kx::core::Binary _plain(int32_t status, const kx::core::String& text,
                            const kx::net::HttpHeaders& extra, bool keepAlive) const;

    ApiConfig m_config;
    tunnel::Encryptor m_encryptor;
    kx::core::Array<kx::core::Any> m_targets;
    kx::core::Dictionary<kx::core::String> m_tokens;  // token -> access id ("" for granted ones)
    kx::core::Dictionary<bool> m_revoked;
    kx::core::Dictionary<bool> m_accessIds;  // MD5 of the allowed access keys
    kx::core::Dictionary<int32_t> m_calls;
    int32_t m_requests = 0;
    ApiFault m_fault;
    kx::core::String m_faultPath;
    int32_t m_faultLeft;  // 0: until changed
    int32_t m_delayMs;
    int64_t m_skewS;
};

}  // namespace lab
