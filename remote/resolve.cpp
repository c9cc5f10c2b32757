// The worker that runs one resolution and the attempt's bounded, cancellable wait
// for it. The blocking call itself is in resolve_win32.cpp / resolve_posix.cpp.
#include "resolve.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "../util/qvsocket.h"
#include "../util/qvthread.h"
#include "../util/qvtick.h"
#include "../util/trace.h"

namespace
{

// Room for the system's resolver, which may load its own modules on first use.
const uint32_t RESOLVE_WORKER_STACK = 256 * 1024;
// Milliseconds given to a worker that has its answer to return.
const int REAP_TRIES = 50;

// Shared by the waiting side and the worker; whichever lets go last frees it.
struct ResolveJob {
    std::atomic<int> refs{2};
    std::string host;
    uint32_t boundMs = 0;
    HostResolveFn resolve = nullptr;
    // Written by the worker before `done` is set, read only after it is.
    ResolveResult result = ResolveResult::NoAnswer;
    uint32_t address = 0;
    CQVSemaphore done;
};

void Release(ResolveJob* job)
{
    if (job->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete job;
}

uint32_t ResolveWorker(void* parameter)
{
    ResolveJob* job = static_cast<ResolveJob*>(parameter);
    uint32_t address = 0;
    const ResolveResult result = job->resolve(job->host, job->boundMs, &address);
    job->result = result == ResolveResult::Cancelled ? ResolveResult::NoAnswer : result;
    job->address = address;
    job->done.Set();
    Release(job);
    return 0;
}

} // namespace

ResolveResult AskSystemResolver(const std::string& host, uint32_t* address)
{
    switch (LookupHostIPv4(host, address)) {
    case HostLookup::Found:
        return ResolveResult::Ok;
    case HostLookup::NoAnswer:
        return ResolveResult::NoAnswer;
    case HostLookup::NotFound:
        break;
    }
    return ResolveResult::NotFound;
}

CHostResolver::CHostResolver(CAttemptObserver* observer, HostResolveFn resolve, uint32_t boundMs)
    : m_pObserver(observer), m_pResolve(resolve ? resolve : SystemResolveIPv4), m_dwBoundMs(boundMs)
{
}

ResolveResult CHostResolver::Resolve(const std::string& host, uint32_t* address)
{
    if (host.empty()) return ResolveResult::NotFound;
    if (std::find(m_Silent.begin(), m_Silent.end(), host) != m_Silent.end()) return ResolveResult::NoAnswer;
    if (!AttemptKeepWaiting(m_pObserver)) return ResolveResult::Cancelled;

    ResolveJob* job = new (std::nothrow) ResolveJob;
    if (!job) return ResolveResult::NotFound;
    job->host = host;
    job->boundMs = m_dwBoundMs;
    job->resolve = m_pResolve;
    CQVThread worker;
    worker.Start(ResolveWorker, job, RESOLVE_WORKER_STACK);
    if (worker.GetThreadId() == 0) {
        // No worker known. Should one have started all the same (a handle that could
        // not be kept), it frees the job; if none did, the job stays behind, which
        // is the lesser harm on a system that can make no thread.
        Release(job);
        return ResolveResult::NotFound;
    }

    ResolveResult result = ResolveResult::NoAnswer;
    const uint32_t start = GetTick();
    for (;;) {
        if (!AttemptKeepWaiting(m_pObserver)) {
            result = ResolveResult::Cancelled;
            break;
        }
        const uint32_t spent = TickSince(start);
        if (spent >= m_dwBoundMs) break;
        const uint32_t left = m_dwBoundMs - spent;
        if (job->done.Wait(left < ATTEMPT_ASK_MS ? left : ATTEMPT_ASK_MS)) {
            result = job->result;
            if (result == ResolveResult::Ok) *address = job->address;
            // The worker only has to return now: reaped here, it leaves no thread.
            for (int i = 0; i < REAP_TRIES && worker.IsRunning(); i++)
                SleepMs(1);
            break;
        }
    }
    if (result == ResolveResult::NoAnswer) {
        m_Silent.push_back(host);
        Trace("No answer for %s within %u ms", host.c_str(), (unsigned)m_dwBoundMs);
    }
    // A worker still inside the system's resolver goes on alone and frees the job.
    Release(job);
    return result;
}
