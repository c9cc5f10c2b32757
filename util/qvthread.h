// Threads, events and locks for the two background workers. Thin on purpose:
// no stop request and no scoped guard; an owner stops its worker through its own
// state and then waits for it here.
#pragma once
#include <cstdint>

struct QVThreadImpl;
struct QVEventImpl;
struct QVLockImpl;

// A recursive lock. Lock and Unlock come in pairs on every path.
class CQVCritical
{
  public:
    CQVCritical();
    virtual ~CQVCritical();
    void Lock();
    bool Unlock();

  private:
    CQVCritical(const CQVCritical&) = delete;
    CQVCritical& operator=(const CQVCritical&) = delete;
    QVLockImpl* m_pImpl;
};

// A manual-reset event, not signalled at creation (the name is historical).
class CQVSemaphore
{
  public:
    CQVSemaphore();
    virtual ~CQVSemaphore();
    bool Wait(uint32_t ms); // true only when signalled within the time; does not reset
    bool Set();
    bool Reset();

  private:
    CQVSemaphore(const CQVSemaphore&) = delete;
    CQVSemaphore& operator=(const CQVSemaphore&) = delete;
    QVEventImpl* m_pImpl;
};

typedef uint32_t (*QVThreadRoutine)(void* parameter);

class CQVThread
{
  public:
    CQVThread();
    virtual ~CQVThread(); // closes the handle; never waits for or stops the thread
    // Starts a new thread at once; a thread still running is left unsupervised.
    // stackSize is a reservation in bytes.
    void Start(QVThreadRoutine routine, void* parameter, uint32_t stackSize);
    bool IsRunning();
    bool WaitForExit(uint32_t timeoutMs);
    uint32_t GetThreadId() const { return m_dwThreadId; }

  private:
    CQVThread(const CQVThread&) = delete;
    CQVThread& operator=(const CQVThread&) = delete;
    QVThreadImpl* m_pImpl; // null when no thread is known
    uint32_t m_dwThreadId;
};
