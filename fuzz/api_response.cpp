// Control-API answers through the encrypted client: the layer below hands
// back whatever a server (or an attacker) sent, including timestamp resets
// and enciphered bodies under any nonce. The client never crashes, retries
// at most once, and only deciphers an answer to its own nonce.
#include <cstdint>

#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "core/src/value/Binary.h"
#include "core/src/value/String.h"
#include "net/src/http/HttpHeaderLookup.h"
#include "net/src/http/HttpRequest.h"
#include "net/src/http/HttpResponse.h"
#include "tunnel_launcher/api/EncryptedHttpClient.h"
#include "tunnel_launcher/encrypt/Encryptor.h"
#include "util/src/http/IHttpAccess.h"

using kx::core::Binary;
using kx::core::String;
using kx::net::HttpHeaderLookup;
using kx::net::HttpRequest;
using kx::net::HttpResponse;

namespace {

const wchar_t* const SPEC = L"tea(one); tea(two)";

// Answers from the input. Each answer may echo the request's nonce and
// encipher its body under it the way the server does.
class ScriptedServer : public kx::util::IHttpAccess {
public:
    explicit ScriptedServer(FuzzInput& in) : m_in(in) {}

    bool request(const HttpRequest& request, HttpResponse* response, bool, int32_t) override {
        ++calls;
        const uint8_t flags = m_in.byte();
        if (flags == 0xFF) return false;  // the connection failed
        HttpResponse answer;
        answer.version = L"HTTP/1.1";
        answer.status = (flags & 1) ? 316 : 200 + (m_in.byte() % 300);
        const String nonce = HttpHeaderLookup::value(request.headers, L"X-Ca-Nonce");
        const String stamp = FuzzInput::text(m_in.piece());
        if (flags & 2) answer.headers.set(L"content-encoding", (flags & 4) ? L"ENCRYPT" : L"gzip");
        answer.headers.set(L"X-Ca-Nonce", (flags & 8) ? nonce : FuzzInput::text(m_in.piece()));
        answer.headers.set(L"X-Ca-Timestamp", stamp);
        if (flags & 16) answer.headers.set(L"X-Ca-Timestamp-Reset", FuzzInput::text(m_in.piece()));
        const Binary body = m_in.piece();
        answer.body = (flags & 32) ? m_encryptor.encode(body, nonce + stamp) : body;
        if (response) *response = answer;
        return true;
    }

    int calls = 0;

private:
    FuzzInput& m_in;
    tunnel::Encryptor m_encryptor{SPEC};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    ScriptedServer server(in);
    tunnel::EncryptedHttpClient client(&server, SPEC);

    HttpRequest request;
    request.method = L"POST";
    request.url = L"https://127.0.0.1/api";
    request.body = in.piece();
    for (int i = 0; i < 2 && in.remaining() > 0; ++i) {
        HttpResponse response;
        const int before = server.calls;
        const bool ok = client.request(request, &response, true, -1);
        FUZZ_CHECK(server.calls - before >= 1 && server.calls - before <= 2);
        if (!ok) FUZZ_CHECK(!response.hasStatus());
        if (ok && HttpHeaderLookup::value(response.headers, L"Content-Encoding").toLower() == L"encrypt") {
            FUZZ_CHECK(HttpHeaderLookup::value(response.headers, L"Content-Length") ==
                       String::fromInt32(response.body.length()));
        }
    }
    return 0;
}
