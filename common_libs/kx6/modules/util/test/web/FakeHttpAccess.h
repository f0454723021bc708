#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "net/src/http/HttpRequest.h"
#include "net/src/http/HttpResponse.h"
#include "util/src/http/IHttpAccess.h"

namespace kx {
namespace util {
namespace testing {

inline std::string u8(const kx::core::String& text) {
    return text.toStdString();
}

// Scripted IHttpAccess: answers with canned replies in order and records
// every request it was given. With no reply left it fails like a dead network.
class FakeHttpAccess : public IHttpAccess {
public:
    struct Reply {
        bool ok;
        kx::net::HttpResponse response;
    };
    struct Call {
        kx::net::HttpRequest request;
        bool secure;
        int32_t timeoutMs;
    };

    static kx::net::HttpResponse response(int32_t status, const char* body = "",
                                          const wchar_t* reason = L"") {
        kx::net::HttpResponse r;
        r.version = L"HTTP/1.1";
        r.status = status;
        r.reason = reason;
        r.body = kx::core::Binary(body);
        return r;
    }

    void answer(const kx::net::HttpResponse& r) { replies.push_back({true, r}); }
    void answer(int32_t status, const char* body = "", const wchar_t* reason = L"") {
        answer(response(status, body, reason));
    }
    // No response at all; reason mimics the words a bottom layer may leave.
    void fail(const wchar_t* reason = L"") {
        kx::net::HttpResponse r;
        r.version = L"HTTP/1.1";
        r.reason = reason;
        replies.push_back({false, r});
    }

    bool request(const kx::net::HttpRequest& request, kx::net::HttpResponse* out, bool secure,
                 int32_t timeoutMs) override {
        calls.push_back({request, secure, timeoutMs});
        if (onRequest) onRequest(calls.back());
        Reply reply;
        if (repeat && !replies.empty()) {
            reply = replies.front();
        } else if (!replies.empty()) {
            reply = replies.front();
            replies.pop_front();
        } else {
            reply.ok = false;
        }
        if (out) *out = reply.response;
        return reply.ok;
    }

    const kx::net::HttpRequest& last() const { return calls.back().request; }
    std::string header(size_t call, const wchar_t* name) const {
        const kx::core::String* v = calls.at(call).request.headers.find(name);
        return v ? u8(*v) : std::string("<none>");
    }

    std::deque<Reply> replies;
    std::vector<Call> calls;
    bool repeat = false;  // answer every request with the first reply
    std::function<void(const Call&)> onRequest;
};

}  // namespace testing
}  // namespace util
}  // namespace kx
