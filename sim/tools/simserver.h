// What every simulated server keeps the same way: its statistics, read whole under
// the server's lock; its event lines, handed to one callback whole and in order;
// and the threads it starts per connection or task, joined once they have ended
// so that a long run does not collect them.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef std::function<void(const std::string& line)> SimLineCallback;

template <class Stats> class CSimStatsLog
{
  public:
    Stats GetStats() const
    {
        std::lock_guard<std::mutex> g(m_Lock);
        return m_Stats;
    }
    // Called from the server's threads for each event line.
    void SetLogCallback(SimLineCallback callback)
    {
        std::lock_guard<std::mutex> g(m_LogLock);
        m_pfnLog = callback;
    }

  protected:
    CSimStatsLog() = default;
    void Log(const std::string& line)
    {
        std::lock_guard<std::mutex> g(m_LogLock);
        if (m_pfnLog) m_pfnLog(line);
    }
    // One change to the statistics, under the lock.
    template <class F> void Count(F change)
    {
        std::lock_guard<std::mutex> g(m_Lock);
        change(m_Stats);
    }

    mutable std::mutex m_Lock; // the statistics, and whatever the server keeps with them
    Stats m_Stats;

  private:
    CSimStatsLog(const CSimStatsLog&) = delete;
    CSimStatsLog& operator=(const CSimStatsLog&) = delete;
    std::mutex m_LogLock; // keeps lines whole and in order; never held while taking m_Lock
    SimLineCallback m_pfnLog;
};

class CSimWorkers
{
  public:
    CSimWorkers() = default;
    ~CSimWorkers() { Reap(true); }

    void Start(std::function<void()> work)
    {
        Worker w;
        w.done = std::make_shared<std::atomic<bool>>(false);
        auto done = w.done;
        w.thread = std::thread([work, done] {
            work();
            *done = true;
        });
        std::lock_guard<std::mutex> g(m_Lock);
        m_Workers.push_back(std::move(w));
    }

    // Joins the threads that have ended, or every thread (waiting for it) when all.
    void Reap(bool all)
    {
        std::vector<Worker> finished;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            for (size_t i = 0; i < m_Workers.size();) {
                if (all || *m_Workers[i].done) {
                    finished.push_back(std::move(m_Workers[i]));
                    m_Workers.erase(m_Workers.begin() + (long)i);
                } else {
                    ++i;
                }
            }
        }
        for (Worker& w : finished)
            w.thread.join();
    }

  private:
    CSimWorkers(const CSimWorkers&) = delete;
    CSimWorkers& operator=(const CSimWorkers&) = delete;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex m_Lock;
    std::vector<Worker> m_Workers;
};
