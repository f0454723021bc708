// Property files, read back from disk under a password: any file content is
// either loaded or marked as failed, and whatever the parser keeps survives
// writing and reading again.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "core/src/value/Binary.h"
#include "core/src/value/String.h"
#include "tunnel_launcher/EncryptedProperties.h"

using kx::core::Binary;
using kx::core::String;
using tunnel::EncryptedProperties;

namespace {

const std::string& scratchPath() {
    static const std::string path = "/tmp/kx-fuzz-properties-" + std::to_string(::getpid());
    return path;
}

bool writeFile(const std::string& path, const Binary& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, size_t(bytes.length()), f) == size_t(bytes.length());
    return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const String password = FuzzInput::text(in.piece());
    const Binary file = in.rest();

    // The text codec alone.
    const String text = FuzzInput::text(file);
    EncryptedProperties::Values raw;
    (void)EncryptedProperties::parse(text, raw);
    EncryptedProperties::Values storable;
    for (const auto& entry : raw) {
        if (EncryptedProperties::canStore(entry.first, entry.second)) {
            storable.set(entry.first, entry.second);
        }
    }
    EncryptedProperties::Values again;
    FUZZ_CHECK(EncryptedProperties::parse(EncryptedProperties::serialize(storable), again));
    FUZZ_CHECK(again == storable);

    // The file as the store finds it on disk.
    const std::string& path = scratchPath();
    if (!writeFile(path, file)) return 0;
    {
        EncryptedProperties store(String::fromUtf8(path), password);
        if (store.loadFailed()) FUZZ_CHECK(!store.errorText().isEmpty());
        for (const auto& entry : raw) (void)store.get(entry.first);
    }
    ::unlink(path.c_str());
    return 0;
}
