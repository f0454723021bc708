#include "tunnel_launcher/api/EncryptedHttpClient.h"

#include <ctime>
#include <limits>
#include <utility>

#include "core/src/crypto/Digest.h"
#include "core/src/misc/GUID.h"
#include "core/src/time/Timer.h"
#include "net/src/http/HttpHeaderLookup.h"

namespace tunnel {

using kx::core::String;
using kx::net::HttpHeaderLookup;
using kx::net::HttpHeaders;
using kx::net::HttpRequest;
using kx::net::HttpResponse;

namespace {

const wchar_t* const HEADER_CONTENT_LENGTH = L"Content-Length";
const wchar_t* const HEADER_CONTENT_ENCODING = L"Content-Encoding";
const wchar_t* const HEADER_NONCE = L"X-Ca-Nonce";
const wchar_t* const HEADER_TIMESTAMP = L"X-Ca-Timestamp";
const wchar_t* const HEADER_TIMESTAMP_RESET = L"X-Ca-Timestamp-Reset";
const wchar_t* const ENCODING_ENCRYPT = L"encrypt";
const wchar_t* const REASON_BAD_NONCE = L"Bad response nonce";

// Replaces every header of that name, in any case, by one value.
void setHeader(HttpHeaders& headers, const String& name, const String& value) {
    const String lower = name.toLower();
    for (auto it = headers.begin(); it != headers.end();) {
        if (it->first.toLower() == lower) {
            auto next = it;
            ++next;
            headers.remove(it->first);
            it = next;
        } else {
            ++it;
        }
    }
    headers.set(name, value);
}

// Strict decimal: optional sign and 1..19 digits within the signed 64-bit range.
bool parseSeconds(const String& text, int64_t& out) {
    int32_t i = 0;
    bool negative = false;
    if (i < text.length() && (text[i] == L'-' || text[i] == L'+')) negative = text[i++] == L'-';
    if (i >= text.length()) return false;
    uint64_t value = 0;
    const uint64_t limit = negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1
                                    : uint64_t(std::numeric_limits<int64_t>::max());
    for (; i < text.length(); ++i) {
        wchar_t c = text[i];
        if (c < L'0' || c > L'9') return false;
        uint64_t digit = uint64_t(c - L'0');
        if (value > (limit - digit) / 10) return false;
        value = value * 10 + digit;
    }
    out = negative ? int64_t(0 - value) : int64_t(value);
    return true;
}

int64_t nowSeconds() { return int64_t(::time(nullptr)); }

void copyOut(HttpResponse* out, HttpResponse& from) {
    if (out) *out = std::move(from);
}

}  // namespace

EncryptedHttpClient::EncryptedHttpClient(kx::util::IHttpAccess* inner, const String& spec)
    : m_inner(inner), m_encryptor(spec) {}

EncryptedHttpClient::~EncryptedHttpClient() = default;

String EncryptedHttpClient::makeNonce() {
    return kx::core::Digest::md5Hex(kx::core::GUID::create().toString()).substring(8, 16);
}

bool EncryptedHttpClient::request(const HttpRequest& request, HttpResponse* response, bool secure,
                                  int32_t timeoutMs) {
    kx::core::Timer timer(timeoutMs > 0 ? timeoutMs : 0);
    auto remaining = [&]() -> int32_t { return timeoutMs < 0 ? -1 : timer.remaining(); };

    HttpResponse first;
    if (!_exchange(request, first, secure, remaining())) {
        copyOut(response, first);
        return false;
    }
    const String* reset = HttpHeaderLookup::find(first.headers, HEADER_TIMESTAMP_RESET);
    int64_t serverTime = 0;
    // A reset value that is not a plain number is not a correction: hand the
    // 316 up as it is rather than send timestamps from a nonsense clock.
    if (first.status != STATUS_TIMESTAMP_REJECTED || !reset || !parseSeconds(*reset, serverTime)) {
        copyOut(response, first);
        return true;
    }
    const int64_t now = nowSeconds();
    if (serverTime < std::numeric_limits<int64_t>::min() + now) {
        copyOut(response, first);
        return true;
    }
    m_clockOffset = serverTime - now;

    HttpResponse second;
    bool ok = _exchange(request, second, secure, remaining());
    copyOut(response, second);
    return ok;
}

bool EncryptedHttpClient::_exchange(const HttpRequest& request, HttpResponse& response, bool secure,
                                    int32_t timeoutMs) {
    response.reset();
    if (!m_inner) return false;
    if (!m_encryptor.hasEncoders()) return m_inner->request(request, &response, secure, timeoutMs);

    const String nonce = makeNonce();
    int64_t stamp = nowSeconds();
    // The offset comes from the server; never let it wrap the stamp around.
    if ((m_clockOffset > 0 && stamp > std::numeric_limits<int64_t>::max() - m_clockOffset) ||
        (m_clockOffset < 0 && stamp < std::numeric_limits<int64_t>::min() - m_clockOffset)) {
        stamp = m_clockOffset > 0 ? std::numeric_limits<int64_t>::max()
                                  : std::numeric_limits<int64_t>::min();
    } else {
        stamp += m_clockOffset;
    }
    const String timestamp = String::fromInt64(stamp);

    HttpRequest out(request);
    out.body = m_encryptor.encode(request.body, nonce + timestamp);
    setHeader(out.headers, HEADER_CONTENT_LENGTH, String::fromInt32(out.body.length()));
    setHeader(out.headers, HEADER_CONTENT_ENCODING, ENCODING_ENCRYPT);
    setHeader(out.headers, HEADER_NONCE, nonce);
    setHeader(out.headers, HEADER_TIMESTAMP, timestamp);

    if (!m_inner->request(out, &response, secure, timeoutMs)) return false;

    if (HttpHeaderLookup::value(response.headers, HEADER_CONTENT_ENCODING).toLower() != ENCODING_ENCRYPT)
        return true;
    const String answerNonce = HttpHeaderLookup::value(response.headers, HEADER_NONCE);
    if (answerNonce != nonce) {
        // Not an answer to this request: a failure, and failures carry no status.
        response.status = HttpResponse::NO_STATUS;
        response.reason = REASON_BAD_NONCE;
        return false;
    }
    const String answerStamp = HttpHeaderLookup::value(response.headers, HEADER_TIMESTAMP);
    response.body = m_encryptor.decode(response.body, answerNonce + answerStamp);
    setHeader(response.headers, HEADER_CONTENT_LENGTH, String::fromInt32(response.body.length()));
    return true;
}

}  // namespace tunnel
