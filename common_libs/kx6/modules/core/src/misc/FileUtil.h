#pragma once

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

namespace kx {
namespace core {

// Whole-file helpers. Paths are wide text, converted to UTF-8 for the system.
// Each returns false when the operation did not happen.
class FileUtil {
public:
    // Creates path and every missing parent (permissions 0755).
    static bool makeDirectories(const String& path);
    static bool exists(const String& path);
    static bool isDirectory(const String& path);
    static bool readAll(const String& path, Binary& out);
    // Replaces the content, creating the file when missing.
    static bool writeAll(const String& path, const Binary& data);
    // Appends, creating the file when missing.
    static bool append(const String& path, const Binary& data);
    static bool remove(const String& path);
    static bool rename(const String& from, const String& to);

    // Everything before the last '/', the empty text when there is none.
    static String directoryOf(const String& path);
};

}  // namespace core
}  // namespace kx
