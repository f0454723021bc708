#include "platform/PlatformPaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

using kx::core::String;

namespace tunnel {

namespace {

const char* nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

}  // namespace

String PlatformPaths::documentsDirectory() {
    if (const char* dir = nonEmptyEnv("KORVANE_DOCUMENTS_DIR")) return String::fromUtf8(dir);
    std::string home;
    if (const char* env = nonEmptyEnv("HOME")) {
        home = env;
    } else if (const passwd* pw = getpwuid(getuid())) {
        // Services started without a login environment still have a home.
        if (pw->pw_dir) home = pw->pw_dir;
    }
    if (home.empty()) home = "/tmp";
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return String::fromUtf8(home + "/Documents");
}

String PlatformPaths::temporaryDirectory() {
    const char* dir = nonEmptyEnv("TMPDIR");
    return String::fromUtf8(dir ? dir : "/tmp/");
}

}  // namespace tunnel
