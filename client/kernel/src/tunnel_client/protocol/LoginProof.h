#pragma once

#include "core/src/value/String.h"

namespace tunnel {

// The login of a node session proves knowledge of the access key without
// sending it: the node hands out a one-time id ("zero_id") and the client
// answers with a digest chain over the key, its identity and that id. The
// node side computes the same chain to check it.
class LoginProof {
public:
    // Lower-case hex MD5 of the key's UTF-8: how the key is named on the wire.
    static kx::core::String accessId(const kx::core::String& accessKey);

    // MD5, SHA-256, SHA-1 and MD5 in turn, each over the hex text of the
    // previous digest, starting from accessId + accessKey + clientToken +
    // clientType + clientVersion + zeroId.
    static kx::core::String compute(const kx::core::String& accessKey,
                                    const kx::core::String& clientToken,
                                    const kx::core::String& clientType,
                                    const kx::core::String& clientVersion,
                                    const kx::core::String& zeroId);
};

}  // namespace tunnel
