#include <windows.h>

#include <new>

#include "qvthread.h"

struct QVLockImpl {
    CRITICAL_SECTION cs;
};

struct QVEventImpl {
    HANDLE hEvent;
};

struct QVThreadImpl {
    HANDLE hThread;
};

// ---------------------------------------------------------------------------

CQVCritical::CQVCritical() : m_pImpl(new (std::nothrow) QVLockImpl)
{
    if (m_pImpl) InitializeCriticalSection(&m_pImpl->cs);
}

CQVCritical::~CQVCritical()
{
    if (m_pImpl) {
        DeleteCriticalSection(&m_pImpl->cs);
        delete m_pImpl;
    }
}

void CQVCritical::Lock()
{
    if (m_pImpl) EnterCriticalSection(&m_pImpl->cs);
}

bool CQVCritical::Unlock()
{
    if (m_pImpl) LeaveCriticalSection(&m_pImpl->cs);
    return true;
}

// ---------------------------------------------------------------------------

CQVSemaphore::CQVSemaphore() : m_pImpl(new (std::nothrow) QVEventImpl)
{
    if (m_pImpl) m_pImpl->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

CQVSemaphore::~CQVSemaphore()
{
    if (m_pImpl) {
        if (m_pImpl->hEvent) CloseHandle(m_pImpl->hEvent);
        delete m_pImpl;
    }
}

bool CQVSemaphore::Wait(uint32_t ms)
{
    if (!m_pImpl || !m_pImpl->hEvent) return false;
    return WaitForSingleObject(m_pImpl->hEvent, ms) == WAIT_OBJECT_0;
}

bool CQVSemaphore::Set()
{
    if (!m_pImpl || !m_pImpl->hEvent) return false;
    return SetEvent(m_pImpl->hEvent) != FALSE;
}

bool CQVSemaphore::Reset()
{
    if (!m_pImpl || !m_pImpl->hEvent) return false;
    return ResetEvent(m_pImpl->hEvent) != FALSE;
}

// ---------------------------------------------------------------------------

namespace
{

struct StartBlock {
    QVThreadRoutine routine;
    void* parameter;
};

// The system wants its own calling convention; the owners' routines are plain.
DWORD WINAPI ThreadEntry(LPVOID p)
{
    StartBlock* block = static_cast<StartBlock*>(p);
    QVThreadRoutine routine = block->routine;
    void* parameter = block->parameter;
    delete block;
    return routine(parameter);
}

void ReleaseHandle(QVThreadImpl*& impl, uint32_t& id)
{
    if (impl) {
        if (impl->hThread) CloseHandle(impl->hThread);
        delete impl;
        impl = nullptr;
    }
    id = 0;
}

} // namespace

CQVThread::CQVThread() : m_pImpl(nullptr), m_dwThreadId(0) {}

CQVThread::~CQVThread()
{
    ReleaseHandle(m_pImpl, m_dwThreadId);
}

void CQVThread::Start(QVThreadRoutine routine, void* parameter, uint32_t stackSize)
{
    // A thread still running goes on unsupervised. A handle whose state could not
    // be queried is let go as well, so that it does not leak.
    IsRunning();
    ReleaseHandle(m_pImpl, m_dwThreadId);
    if (!routine) return;

    StartBlock* block = new (std::nothrow) StartBlock{routine, parameter};
    if (!block) return;
    DWORD id = 0;
    HANDLE h = CreateThread(nullptr, stackSize, ThreadEntry, block, STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
    if (!h) {
        delete block;
        return;
    }
    m_pImpl = new (std::nothrow) QVThreadImpl{h};
    if (!m_pImpl) {
        CloseHandle(h);
        return;
    }
    m_dwThreadId = id;
}

bool CQVThread::IsRunning()
{
    if (!m_pImpl) return false;
    DWORD code = 0;
    if (!GetExitCodeThread(m_pImpl->hThread, &code)) return false;
    if (code == STILL_ACTIVE) {
        // A routine may itself have returned the "still active" code; the handle's
        // own state tells the two apart, so such a thread is not waited for in vain.
        if (WaitForSingleObject(m_pImpl->hThread, 0) != WAIT_OBJECT_0) return true;
    }
    ReleaseHandle(m_pImpl, m_dwThreadId);
    return false;
}
