#include "core/src/misc/FileUtil.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace kx {
namespace core {

namespace {
std::string nativePath(const String& path) {
    return path.toStdString();
}

bool writeFully(int fd, const uint8_t* p, int32_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, p, static_cast<size_t>(length));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<int32_t>(n);
    }
    return true;
}

bool writeWithFlags(const String& path, const Binary& data, int flags) {
    std::string p = nativePath(path);
    if (p.empty()) return false;
    int fd = ::open(p.c_str(), flags | O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = writeFully(fd, data.data(), data.length());
    if (::close(fd) != 0) ok = false;
    return ok;
}
}  // namespace

bool FileUtil::makeDirectories(const String& path) {
    std::string p = nativePath(path);
    if (p.empty()) return false;
    for (size_t i = 1; i <= p.size(); ++i) {
        if (i < p.size() && p[i] != '/') continue;
        std::string part = p.substr(0, i);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileUtil::exists(const String& path) {
    std::string p = nativePath(path);
    struct stat st;
    return !p.empty() && ::stat(p.c_str(), &st) == 0;
}

bool FileUtil::isDirectory(const String& path) {
    std::string p = nativePath(path);
    struct stat st;
    return !p.empty() && ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileUtil::readAll(const String& path, Binary& out) {
    out.clear();
    std::string p = nativePath(path);
    if (p.empty()) return false;
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = true;
    uint8_t buf[16384];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        out.append(buf, static_cast<int32_t>(n));
    }
    ::close(fd);
    if (!ok) out.clear();
    return ok;
}

bool FileUtil::writeAll(const String& path, const Binary& data) {
    return writeWithFlags(path, data, O_TRUNC);
}

bool FileUtil::append(const String& path, const Binary& data) {
    return writeWithFlags(path, data, O_APPEND);
}

bool FileUtil::remove(const String& path) {
    std::string p = nativePath(path);
    return !p.empty() && ::remove(p.c_str()) == 0;
}

bool FileUtil::rename(const String& from, const String& to) {
    std::string a = nativePath(from), b = nativePath(to);
    return !a.empty() && !b.empty() && ::rename(a.c_str(), b.c_str()) == 0;
}

String FileUtil::directoryOf(const String& path) {
    int32_t slash = path.lastIndexOf(L'/');
    return slash < 0 ? String() : path.substring(0, slash);
}

}  // namespace core
}  // namespace kx
