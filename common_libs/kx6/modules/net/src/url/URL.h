#pragma once

#include "core/src/value/Binary.h"
#include "core/src/value/Map.h"
#include "core/src/value/String.h"

namespace kx {
namespace net {

// A URL split into scheme, host (the authority as written, port included),
// path, query and fragment. Parsing never fails and validates nothing: any
// text yields the parts the splitting rules put there.
class URL {
public:
    typedef kx::core::Map<kx::core::String, kx::core::String> Query;

    URL() = default;
    URL(const kx::core::String& text);  // NOLINT: implicit on purpose
    URL(const wchar_t* text);           // NOLINT
    URL(const char* text);              // NOLINT: UTF-8
    virtual ~URL() = default;

    const kx::core::String& scheme() const { return m_scheme; }
    const kx::core::String& host() const { return m_host; }
    const kx::core::String& path() const { return m_path; }
    const kx::core::String& query() const { return m_query; }
    const kx::core::String& fragment() const { return m_fragment; }

    void setScheme(const kx::core::String& value) { m_scheme = value; }
    void setHost(const kx::core::String& value) { m_host = value; }
    void setPath(const kx::core::String& value) { m_path = value; }
    void setQuery(const kx::core::String& value) { m_query = value; }
    void setFragment(const kx::core::String& value) { m_fragment = value; }

    // Joins the chosen non-empty parts: "scheme://", host, path, "?query",
    // "#fragment".
    kx::core::String toString(bool scheme, bool host, bool path, bool query, bool fragment) const;
    kx::core::String toString() const { return toString(true, true, true, true, true); }

    bool operator==(const URL& other) const;
    bool operator!=(const URL& other) const { return !(*this == other); }

    // Splits an authority into host and port text: "[v6]:port" and "[v6]"
    // give the address without brackets; anything else splits at its first
    // colon ("host:port", "a.b.c.d:port", "host"). False, with both outputs
    // untouched, for an opening bracket without its close or text after the
    // close that is not ":port". A missing port gives an empty port text.
    static bool splitAuthority(const kx::core::String& authority, kx::core::String* host,
                               kx::core::String* port);

    // Percent-encoding of bytes; only A-Z a-z 0-9 ! ' ( ) * - . _ ~ stay as
    // they are, a space becomes %20.
    static kx::core::String encode(const kx::core::Binary& bytes);
    // "+" is a space, "%XY" a byte; a "%" cut short by the end of the text
    // ends the result.
    static kx::core::Binary decode(const kx::core::String& text);
    // key=value pairs in ascending key order, joined with "&".
    static kx::core::String buildQuery(const Query& query);
    // A later duplicate key replaces the earlier value.
    static Query parseQuery(const kx::core::String& text);

private:
    void _parse(const kx::core::String& text);

    kx::core::String m_scheme;
    kx::core::String m_host;
    kx::core::String m_path;
    kx::core::String m_query;
    kx::core::String m_fragment;
};

}  // namespace net
}  // namespace kx
