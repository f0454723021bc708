#pragma once

namespace tunnel {

// The configuration compiled into the SDK: the control API's address, its
// host groups and the body cipher, enciphered (see ConfigCodec). The default
// text points at the lab's control API on loopback; a build with
// -DKORVANE_BUILTIN_CONFIG=file.json compiles another one in.
class BuiltInConfig {
public:
    static const char* text();
};

}  // namespace tunnel
