#pragma once

#include <string>

#include "core/src/value/String.h"

namespace tunnel {

// An exclusive lock on a file, held by an open descriptor with flock. The
// kernel drops the lock when the holder's process ends, so a file left behind
// by a dead process never blocks a later start: the next lock() takes it over.
// Works across processes and between two FileLocks of one process.
class FileLock {
public:
    explicit FileLock(const kx::core::String& path);
    // Unlocks.
    virtual ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Creates the missing directories, takes the lock and writes the id into
    // the file. False when this object already holds it, another holder has
    // it (heldElsewhere()), or the file cannot be made or written (errorText()).
    bool lock();
    // Deletes the file while still holding the lock, then releases it.
    void unlock();

    bool isLocked() const { return m_fd >= 0; }
    // The last lock() failed because someone else holds the lock.
    bool heldElsewhere() const { return m_heldElsewhere; }
    // Why the last lock() failed; empty after success.
    const kx::core::String& errorText() const { return m_errorText; }
    const kx::core::String& path() const { return m_path; }
    // 32 lower-case hex digits of a random GUID, made at construction.
    const kx::core::String& id() const { return m_id; }

private:
    enum class Attempt { LOCKED, HELD, FAILED, REPLACED };
    Attempt _tryOnce(const std::string& path);
    bool _fail(const kx::core::String& what);

    kx::core::String m_path;
    kx::core::String m_id;
    int m_fd;
    bool m_heldElsewhere;
    kx::core::String m_errorText;
};

}  // namespace tunnel
