// The control API's body envelope: a chain of ciphers configured by text and
// applied to bodies from the network. Any configuration text and any body
// are handled, a failed stage yields nothing, and what the chain encodes it
// decodes back.
#include <cstdint>

#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "core/src/value/Binary.h"
#include "core/src/value/String.h"
#include "tunnel_launcher/encrypt/Encryptor.h"

using kx::core::Binary;
using kx::core::String;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const String spec = FuzzInput::text(in.piece());
    const String key = FuzzInput::text(in.piece());
    const Binary body = in.rest();

    const tunnel::Encryptor chain(spec);
    const Binary decoded = chain.decode(body, key);
    if (!chain.hasEncoders()) FUZZ_CHECK(decoded == body);
    FUZZ_CHECK(decoded.length() <= body.length());

    const Binary sealed = chain.encode(body, key);
    FUZZ_CHECK(chain.decode(sealed, key) == body);
    return 0;
}
