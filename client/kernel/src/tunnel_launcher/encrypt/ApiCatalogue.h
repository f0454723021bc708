#pragma once

#include <cstdint>

namespace tunnel {

// The control API's names and numbers, in one place for both sides of the
// wire: the SDK's API client and the lab's API server.
struct ApiCatalogue {
    // Paths below the API's base URL.
    static constexpr const wchar_t* PATH_UTIL = L"/util";
    static constexpr const wchar_t* PATH_ACCOUNT = L"/account";
    static constexpr const wchar_t* PATH_INSTANCE = L"/instance";

    // JSON-RPC methods.
    static constexpr const wchar_t* METHOD_PING = L"ping";                  // on PATH_UTIL
    static constexpr const wchar_t* METHOD_CREATE = L"create";              // on PATH_ACCOUNT
    static constexpr const wchar_t* METHOD_UPDATE = L"update";              // on PATH_ACCOUNT
    static constexpr const wchar_t* METHOD_ENUM_TARGETS = L"enum_targets";  // on PATH_INSTANCE

    // Parameter and result names.
    static constexpr const wchar_t* PARAM_ACCESS_ID = L"access_id";
    static constexpr const wchar_t* PARAM_VERSION = L"version";
    static constexpr const wchar_t* PARAM_MARKS = L"marks";
    static constexpr const wchar_t* PARAM_TOKEN = L"token";
    static constexpr const wchar_t* PARAM_TARGET_NAMES = L"target_names";
    static constexpr const wchar_t* PARAM_TARGET_GROUPS = L"target_groups";
    static constexpr const wchar_t* RESULT_TOKEN = L"token";
    static constexpr const wchar_t* RESULT_TARGETS = L"targets";

    // Error codes of the API's JSON-RPC errors.
    static constexpr int32_t TOKEN_REJECTED = 101;  // the client registers anew
    static constexpr int32_t ACCESS_DENIED = 102;
    // HTTP status of a request whose timestamp is too far off; the answer
    // names the server's time so the client can retry once.
    static constexpr int32_t STATUS_TIMESTAMP_REJECTED = 316;
};

}  // namespace tunnel
