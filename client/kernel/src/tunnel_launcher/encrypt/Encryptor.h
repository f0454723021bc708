#pragma once

#include <functional>

#include "core/src/value/Array.h"
#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

namespace tunnel {

// A chain of body codecs configured by a text of items such as
// "tea(pass); tea(other)". Encoders run in item order, decoders in reverse.
// Pure: no I/O, no state beyond the chain, safe to share between threads.
class Encryptor {
public:
    typedef std::function<kx::core::Binary(const kx::core::Binary&, const kx::core::String&)> Codec;

    explicit Encryptor(const kx::core::String& spec);   // "tea(pass); tea(other)"
    virtual ~Encryptor();
    bool hasEncoders() const;
    kx::core::Binary encode(const kx::core::Binary& data, const kx::core::String& key) const;
    kx::core::Binary decode(const kx::core::Binary& data, const kx::core::String& key) const; // empty on failure

private:
    kx::core::Array<Codec> m_encoders;
    kx::core::Array<Codec> m_decoders;
};

}  // namespace tunnel
