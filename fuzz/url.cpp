// URLs and query strings from configuration, redirects and API answers:
// splitting takes any text, percent-decoding undoes encoding, a parsed query
// survives building and parsing again, and a URL with a scheme is rebuilt to
// text that splits the same way.
#include <cstdint>

#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "core/src/value/Binary.h"
#include "net/src/url/URL.h"

using kx::core::Binary;
using kx::core::String;
using kx::net::URL;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const Binary bytes = in.rest();
    const String text = FuzzInput::text(bytes);

    const URL url(text);
    if (!url.scheme().isEmpty()) FUZZ_CHECK(URL(url.toString()) == url);
    (void)url.toString(false, true, true, false, false);

    FUZZ_CHECK(URL::decode(URL::encode(bytes)) == bytes);
    (void)URL::decode(text);

    const URL::Query query = URL::parseQuery(url.query().isEmpty() ? text : url.query());
    FUZZ_CHECK(URL::parseQuery(URL::buildQuery(query)) == query);
    return 0;
}
