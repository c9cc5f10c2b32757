#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <new>

#include "qvthread.h"

struct QVLockImpl {
    pthread_mutex_t mutex;
};

struct QVEventImpl {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool bSignalled;
};

// Shared by the owner and the running thread; whichever lets go last frees it,
// so an owner may drop a thread that is still running.
struct QVThreadImpl {
    pthread_t thread;
    QVThreadRoutine routine;
    void* parameter;
    std::atomic<int> refs;
    std::atomic<bool> bFinished;
};

// ---------------------------------------------------------------------------

CQVCritical::CQVCritical() : m_pImpl(new (std::nothrow) QVLockImpl)
{
    if (!m_pImpl) return;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (pthread_mutex_init(&m_pImpl->mutex, &attr) != 0) {
        delete m_pImpl;
        m_pImpl = nullptr;
    }
    pthread_mutexattr_destroy(&attr);
}

CQVCritical::~CQVCritical()
{
    if (m_pImpl) {
        pthread_mutex_destroy(&m_pImpl->mutex);
        delete m_pImpl;
    }
}

void CQVCritical::Lock()
{
    if (m_pImpl) pthread_mutex_lock(&m_pImpl->mutex);
}

bool CQVCritical::Unlock()
{
    if (m_pImpl) pthread_mutex_unlock(&m_pImpl->mutex);
    return true;
}

// ---------------------------------------------------------------------------

CQVSemaphore::CQVSemaphore() : m_pImpl(new (std::nothrow) QVEventImpl)
{
    if (!m_pImpl) return;
    m_pImpl->bSignalled = false;
    bool ok = pthread_mutex_init(&m_pImpl->mutex, nullptr) == 0;
    if (ok) {
        // Time-outs follow the monotonic clock: a change of the wall clock must
        // neither cut a wait short nor stretch it.
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        if (pthread_cond_init(&m_pImpl->cond, &attr) != 0) {
            pthread_mutex_destroy(&m_pImpl->mutex);
            ok = false;
        }
        pthread_condattr_destroy(&attr);
    }
    if (!ok) {
        delete m_pImpl;
        m_pImpl = nullptr;
    }
}

CQVSemaphore::~CQVSemaphore()
{
    if (m_pImpl) {
        pthread_cond_destroy(&m_pImpl->cond);
        pthread_mutex_destroy(&m_pImpl->mutex);
        delete m_pImpl;
    }
}

bool CQVSemaphore::Wait(uint32_t ms)
{
    if (!m_pImpl) return false;
    pthread_mutex_lock(&m_pImpl->mutex);
    if (ms == 0xFFFFFFFFu) {
        while (!m_pImpl->bSignalled)
            pthread_cond_wait(&m_pImpl->cond, &m_pImpl->mutex);
    } else if (!m_pImpl->bSignalled && ms > 0) {
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += ms / 1000;
        deadline.tv_nsec += (long)(ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
        while (!m_pImpl->bSignalled) {
            int rc = pthread_cond_timedwait(&m_pImpl->cond, &m_pImpl->mutex, &deadline);
            if (rc != 0 && rc != EINTR) break;
        }
    }
    bool signalled = m_pImpl->bSignalled;
    pthread_mutex_unlock(&m_pImpl->mutex);
    return signalled;
}

bool CQVSemaphore::Set()
{
    if (!m_pImpl) return false;
    pthread_mutex_lock(&m_pImpl->mutex);
    m_pImpl->bSignalled = true;
    pthread_cond_broadcast(&m_pImpl->cond);
    pthread_mutex_unlock(&m_pImpl->mutex);
    return true;
}

bool CQVSemaphore::Reset()
{
    if (!m_pImpl) return false;
    pthread_mutex_lock(&m_pImpl->mutex);
    m_pImpl->bSignalled = false;
    pthread_mutex_unlock(&m_pImpl->mutex);
    return true;
}

// ---------------------------------------------------------------------------

namespace
{

std::atomic<uint32_t> g_dwNextThreadId(1);

void Release(QVThreadImpl* impl)
{
    if (impl->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete impl;
}

void* ThreadEntry(void* p)
{
    QVThreadImpl* impl = static_cast<QVThreadImpl*>(p);
    impl->routine(impl->parameter);
    impl->bFinished.store(true, std::memory_order_release);
    Release(impl);
    return nullptr;
}

// Lets go of the thread without waiting for it (the counterpart of closing a handle).
void Abandon(QVThreadImpl*& impl, uint32_t& id)
{
    if (impl) {
        pthread_detach(impl->thread);
        Release(impl);
        impl = nullptr;
    }
    id = 0;
}

} // namespace

CQVThread::CQVThread() : m_pImpl(nullptr), m_dwThreadId(0) {}

CQVThread::~CQVThread()
{
    Abandon(m_pImpl, m_dwThreadId);
}

void CQVThread::Start(QVThreadRoutine routine, void* parameter, uint32_t stackSize)
{
    IsRunning();
    Abandon(m_pImpl, m_dwThreadId);
    if (!routine) return;

    QVThreadImpl* impl = new (std::nothrow) QVThreadImpl;
    if (!impl) return;
    impl->routine = routine;
    impl->parameter = parameter;
    impl->refs.store(2);
    impl->bFinished.store(false);

    // The size is a reservation, as on Windows: stacks here are committed as they
    // are touched, so a generous floor costs nothing and leaves room for the larger
    // frames of instrumented builds.
    size_t size = stackSize;
    const size_t floor = 1024 * 1024;
    if (size < floor) size = floor;
    if (size < (size_t)PTHREAD_STACK_MIN) size = PTHREAD_STACK_MIN;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, size);
    int rc = pthread_create(&impl->thread, &attr, ThreadEntry, impl);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete impl;
        return;
    }
    m_pImpl = impl;
    m_dwThreadId = g_dwNextThreadId.fetch_add(1);
}

bool CQVThread::IsRunning()
{
    if (!m_pImpl) return false;
    if (!m_pImpl->bFinished.load(std::memory_order_acquire)) return true;
    // The routine has returned; joining only waits for the last few instructions.
    pthread_join(m_pImpl->thread, nullptr);
    Release(m_pImpl);
    m_pImpl = nullptr;
    m_dwThreadId = 0;
    return false;
}
