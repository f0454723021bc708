#include "core/src/thread/CriticalSection.h"

#include <pthread.h>

#include "core/src/debug/Assert.h"

namespace kx {
namespace core {

struct CriticalSection::Impl {
    pthread_mutex_t mutex;
};

CriticalSection::CriticalSection() : m_im(new Impl) {
    pthread_mutexattr_t attr;
    KX_ASSERT(0 == pthread_mutexattr_init(&attr));
    KX_ASSERT(0 == pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE));
    KX_ASSERT(0 == pthread_mutex_init(&m_im->mutex, &attr));
    pthread_mutexattr_destroy(&attr);
}

CriticalSection::~CriticalSection() {
    pthread_mutex_destroy(&m_im->mutex);
}

void CriticalSection::lock() {
    pthread_mutex_lock(&m_im->mutex);
}

void CriticalSection::unlock() {
    pthread_mutex_unlock(&m_im->mutex);
}

bool CriticalSection::tryLock() {
    return pthread_mutex_trylock(&m_im->mutex) == 0;
}

}  // namespace core
}  // namespace kx
