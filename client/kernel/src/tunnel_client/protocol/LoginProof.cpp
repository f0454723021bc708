#include "tunnel_client/protocol/LoginProof.h"

#include "core/src/crypto/Digest.h"

namespace tunnel {

using kx::core::Digest;
using kx::core::String;

String LoginProof::accessId(const String& accessKey) {
    return Digest::md5Hex(accessKey);
}

String LoginProof::compute(const String& accessKey, const String& clientToken,
                           const String& clientType, const String& clientVersion,
                           const String& zeroId) {
    String m = accessId(accessKey);
    m += accessKey;
    m += clientToken;
    m += clientType;
    m += clientVersion;
    m += zeroId;
    // Hex text is ASCII, so its UTF-8 form is exactly the hex bytes.
    String step = Digest::md5Hex(m);
    step = Digest::sha256Hex(step);
    step = Digest::sha1Hex(step);
    return Digest::md5Hex(step);
}

}  // namespace tunnel
