#include <gtest/gtest.h>

#include "net/src/http/HttpHeaderLookup.h"

using kx::core::String;
using kx::net::HttpHeaderLookup;
using kx::net::HttpHeaders;

TEST(HttpHeaderLookupTest, FindsNamesIgnoringCase) {
    HttpHeaders headers;
    headers.set(L"Content-Length", L"5");
    headers.set(L"location", L"/next");
    EXPECT_EQ(HttpHeaderLookup::value(headers, L"content-length"), String(L"5"));
    EXPECT_EQ(HttpHeaderLookup::value(headers, L"LOCATION"), String(L"/next"));
    EXPECT_TRUE(HttpHeaderLookup::contains(headers, L"Location"));
    EXPECT_FALSE(HttpHeaderLookup::contains(headers, L"Content-Lengt"));
    EXPECT_EQ(HttpHeaderLookup::find(headers, L"host"), nullptr);
}
