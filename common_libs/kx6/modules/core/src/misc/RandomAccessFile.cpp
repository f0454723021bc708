#include "core/src/misc/RandomAccessFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace kx {
namespace core {

RandomAccessFile::RandomAccessFile() : m_fd(-1) {}

RandomAccessFile::~RandomAccessFile() {
    close();
}

bool RandomAccessFile::open(const String& path, int mode, int permissions) {
    if (m_fd >= 0) return false;
    std::string p = path.toStdString();
    if (p.empty()) return false;
    int flags = O_CLOEXEC;
    if ((mode & MODE_READ) && (mode & MODE_WRITE)) {
        flags |= O_RDWR;
    } else if (mode & MODE_WRITE) {
        flags |= O_WRONLY;
    } else {
        flags |= O_RDONLY;
    }
    if (mode & MODE_CREATE) flags |= O_CREAT;
    if (mode & MODE_TRUNCATE) flags |= O_TRUNC;
    int fd;
    do {
        fd = ::open(p.c_str(), flags, permissions);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    m_fd = fd;
    return true;
}

void RandomAccessFile::close() {
    if (m_fd < 0) return;
    ::close(m_fd);
    m_fd = -1;
}

int64_t RandomAccessFile::read(int64_t offset, void* buffer, size_t length) {
    if (m_fd < 0 || offset < 0 || (!buffer && length > 0)) return -1;
    ssize_t n;
    do {
        n = ::pread(m_fd, buffer, length, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return n;
}

bool RandomAccessFile::write(int64_t offset, const void* data, size_t length) {
    if (m_fd < 0 || offset < 0 || (!data && length > 0)) return false;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        ssize_t n = ::pwrite(m_fd, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        offset += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool RandomAccessFile::truncate(int64_t length) {
    return m_fd >= 0 && length >= 0 && ::ftruncate(m_fd, static_cast<off_t>(length)) == 0;
}

int64_t RandomAccessFile::size() const {
    struct stat st;
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool RandomAccessFile::tryLockExclusive() {
    if (m_fd < 0) return false;
    int rc;
    do {
        rc = ::flock(m_fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

void RandomAccessFile::unlockFile() {
    if (m_fd >= 0) ::flock(m_fd, LOCK_UN);
}

}  // namespace core
}  // namespace kx
