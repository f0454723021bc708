// TEA decryption of bytes from the wire and from files: any ciphertext either
// fails with empty output or gives a plaintext no longer than it, the copying
// and in-place forms agree, and encryption is undone by decryption.
#include <cstdint>

#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "core/src/crypto/Tea.h"
#include "core/src/value/Binary.h"

using kx::core::Binary;
using kx::core::Tea;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    // Mostly a proper key; now and then one of the wrong size.
    const uint8_t keyChoice = in.byte();
    const Binary key = in.take(keyChoice < 240 ? Tea::KEY_SIZE : keyChoice % 32);
    const Binary cipher = in.rest();
    const bool goodKey = key.length() == Tea::KEY_SIZE;

    Binary plain;
    const bool ok = Tea::decrypt(cipher, key, plain);
    Binary inPlace = cipher;
    FUZZ_CHECK(Tea::decryptInPlace(inPlace, key) == ok);
    if (!goodKey) FUZZ_CHECK(!ok);
    if (!ok) {
        FUZZ_CHECK(plain.isEmpty() && inPlace.isEmpty());
    } else {
        FUZZ_CHECK(inPlace == plain);
        FUZZ_CHECK(plain.length() <= cipher.length());
        FUZZ_CHECK(cipher.isEmpty() || (cipher.length() - 1) % Tea::BLOCK_SIZE == 0);
    }

    Binary sealed;
    FUZZ_CHECK(Tea::encrypt(cipher, key, sealed) == goodKey);
    if (!goodKey) return 0;
    FUZZ_CHECK(sealed.isEmpty() == cipher.isEmpty());
    Binary opened;
    FUZZ_CHECK(Tea::decrypt(sealed, key, opened));
    FUZZ_CHECK(opened == cipher);
    return 0;
}
