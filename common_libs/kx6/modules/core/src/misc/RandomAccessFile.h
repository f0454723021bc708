#pragma once

#include <cstddef>
#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

namespace kx {
namespace core {

// An open file read and written at explicit offsets. Closing (or destroying)
// releases any flock taken on it.
class RandomAccessFile {
public:
    enum Mode {
        MODE_READ = 1,
        MODE_WRITE = 2,
        MODE_CREATE = 4,    // create when missing
        MODE_TRUNCATE = 8,  // drop the old content
    };

    RandomAccessFile();
    virtual ~RandomAccessFile();
    RandomAccessFile(const RandomAccessFile&) = delete;
    RandomAccessFile& operator=(const RandomAccessFile&) = delete;

    // mode is a combination of Mode bits. False when already open or on error.
    bool open(const String& path, int mode, int permissions = 0644);
    bool isOpen() const { return m_fd >= 0; }
    void close();

    // Bytes read (0 at end of file), -1 on error.
    int64_t read(int64_t offset, void* buffer, size_t length);
    // Writes everything or fails.
    bool write(int64_t offset, const void* data, size_t length);
    bool write(int64_t offset, const Binary& data) {
        return write(offset, data.data(), size_t(data.length()));
    }
    bool truncate(int64_t length);
    int64_t size() const;

    // Exclusive, non-blocking: false at once when another holder has it.
    bool tryLockExclusive();
    void unlockFile();

private:
    int m_fd;
};

}  // namespace core
}  // namespace kx
