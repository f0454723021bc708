#pragma once

#include "core/src/value/Any.h"
#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "core/src/value/Strings.h"

namespace tunnel {

// Reads the built-in configuration text. Each accessor decodes the whole text
// again: the plain form is never kept in memory. A text that does not decode
// is a build fault and ends the process through the assertion reporter.
//
//   "u"  text             the control API's base URL
//   "h"  array of arrays  API host groups, raced in order; inner items as text
//   "e"  text             the body cipher items ("tea(passphrase)")
//   "p"  array of texts   optional pins of the API's TLS keys (Base64 SHA-256 of
//                         a certificate's SubjectPublicKeyInfo)
class Config {
public:
    explicit Config(const kx::core::String& text);
    virtual ~Config();

    kx::core::String apiUrl() const;
    kx::core::Array<kx::core::Strings> hostGroups() const;
    kx::core::String encryptorSpec() const;
    // Empty without "p". Anything but a list of texts comes back as texts that
    // are no pins, so the connection is refused rather than left unpinned.
    kx::core::Strings pins() const;

private:
    kx::core::AnyDictionary _decode() const;

    kx::core::String m_text;
};

}  // namespace tunnel
