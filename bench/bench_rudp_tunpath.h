// An impaired IP path between two network namespaces, for comparing the
// reliable UDP stream with TCP on the very same path (the kernel's netem is not
// available here). Each namespace gets a TUN device; a thread of this process
// carries every IP packet from one device to the other through an impairment
// line (loss, duplication, reordering, delay), so UDP and TCP meet the same
// fates. Linux only; needs root (namespaces, /dev/net/tun) and the ip command.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "sim/impair/impair.h"

class CTunPath
{
  public:
    // The one path of the process, made on first use; null when it cannot be
    // made (why() tells).
    static CTunPath* Get(std::string* why);

    // Both directions; takes effect for the next packet.
    void SetImpairment(const ImpairSettings& settings);
    ImpairCounts CountsAToB();

    uint32_t AddressA() const { return m_nAddrA; } // network order
    uint32_t AddressB() const { return m_nAddrB; }
    // Runs f on a new thread that has joined namespace A (or B) and waits for it.
    // Sockets made there belong to that namespace; threads it starts inherit it.
    bool RunInA(const std::function<void()>& f) { return RunIn(m_strNsA, f); }
    bool RunInB(const std::function<void()>& f) { return RunIn(m_strNsB, f); }
    // The same without waiting: the thread is returned to the caller to join.
    std::thread StartInB(const std::function<void()>& f);

    ~CTunPath();

  private:
    CTunPath() = default;
    bool Make(std::string* why);
    bool RunIn(const std::string& ns, const std::function<void()>& f);
    void Forward();

    std::string m_strNsA, m_strNsB, m_strDevA, m_strDevB;
    int m_fdA = -1, m_fdB = -1;
    uint32_t m_nAddrA = 0, m_nAddrB = 0;
    std::atomic<bool> m_bRunning{false};
    std::thread m_Thread;
    std::mutex m_Lock;
    CImpairLine* m_pAToB = nullptr;
    CImpairLine* m_pBToA = nullptr;
};
