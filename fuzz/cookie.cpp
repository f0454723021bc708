// "Set-Cookie" values from any server, stored in a jar: a value is either
// refused or stored for a domain the answering host belongs to, and then it
// is sent back to that host.
#include <cstdint>

#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "core/src/value/String.h"
#include "net/src/url/URL.h"
#include "util/src/web/Cookie.h"
#include "util/src/web/CookieJar.h"

using kx::core::String;
using kx::net::URL;
using kx::util::Cookie;
using kx::util::CookieJar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const URL url(FuzzInput::text(in.piece()));
    CookieJar jar;
    for (int i = 0; i < 8 && in.remaining() > 0; ++i) {
        const String setCookie = FuzzInput::text(in.piece());
        const int32_t before = jar.cookies().size();
        Cookie cookie;
        const bool parsed = CookieJar::parse(setCookie, url, cookie);
        FUZZ_CHECK(jar.add(setCookie, url) == parsed);
        if (!parsed) {
            FUZZ_CHECK(jar.cookies().size() == before);
            continue;
        }
        FUZZ_CHECK(!cookie.name.isEmpty());
        FUZZ_CHECK(jar.cookies().size() <= before + 1);
        FUZZ_CHECK(CookieJar::matches(cookie, url));
        const String sent = jar.cookieText(url);
        FUZZ_CHECK(sent.indexOf(cookie.name + L"=" + cookie.value) >= 0);
        (void)cookie.toString();
    }
    return 0;
}
