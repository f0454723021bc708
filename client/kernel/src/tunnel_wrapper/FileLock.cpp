#include "tunnel_wrapper/FileLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "core/src/misc/FileUtil.h"
#include "core/src/misc/GUID.h"

using kx::core::String;

namespace tunnel {

namespace {

// A holder that unlocks between our open and our flock replaces the file;
// a few more tries settle that race, more would mean something else is wrong.
const int MAX_ATTEMPTS = 8;

String systemError() {
    return String::fromUtf8(std::strerror(errno));
}

}  // namespace

FileLock::FileLock(const String& path)
    : m_path(path), m_id(kx::core::GUID::create().toString()), m_fd(-1), m_heldElsewhere(false) {}

FileLock::~FileLock() {
    unlock();
}

bool FileLock::_fail(const String& what) {
    m_errorText = what;
    return false;
}

bool FileLock::lock() {
    if (m_fd >= 0) return false;
    m_heldElsewhere = false;
    m_errorText = String();
    const String dir = kx::core::FileUtil::directoryOf(m_path);
    if (!dir.isEmpty() && !kx::core::FileUtil::isDirectory(dir) &&
        !kx::core::FileUtil::makeDirectories(dir)) {
        return _fail(L"Can not create dir: " + dir);
    }
    const std::string path = m_path.toStdString();
    for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
        switch (_tryOnce(path)) {
            case Attempt::LOCKED:
                return true;
            case Attempt::HELD:
                m_heldElsewhere = true;
                return _fail(L"Lock file is held by another instance: " + m_path);
            case Attempt::FAILED:
                return false;
            case Attempt::REPLACED:
                break;
        }
    }
    return _fail(L"Lock file keeps being replaced: " + m_path);
}

FileLock::Attempt FileLock::_tryOnce(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        _fail(L"Can not open lock file " + m_path + L": " + systemError());
        return Attempt::FAILED;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        if (!held) _fail(L"Can not lock " + m_path + L": " + systemError());
        ::close(fd);
        return held ? Attempt::HELD : Attempt::FAILED;
    }
    // The previous holder deletes the file before it lets go, so a lock on a
    // file that is no longer at the path is a lock on nothing.
    struct stat opened;
    struct stat named;
    if (::fstat(fd, &opened) != 0 || ::stat(path.c_str(), &named) != 0 ||
        opened.st_ino != named.st_ino || opened.st_dev != named.st_dev) {
        ::close(fd);
        return Attempt::REPLACED;
    }
    const std::string id = m_id.toStdString();
    if (::pwrite(fd, id.data(), id.size(), 0) != static_cast<ssize_t>(id.size()) ||
        ::ftruncate(fd, static_cast<off_t>(id.size())) != 0) {
        _fail(L"Can not write lock file " + m_path + L": " + systemError());
        ::close(fd);
        return Attempt::FAILED;
    }
    m_fd = fd;
    return Attempt::LOCKED;
}

void FileLock::unlock() {
    if (m_fd < 0) return;
    // Delete first: released before the unlink, the lock could pass to a
    // process that then holds a file nobody else can find.
    ::unlink(m_path.toStdString().c_str());
    ::close(m_fd);
    m_fd = -1;
}

}  // namespace tunnel
