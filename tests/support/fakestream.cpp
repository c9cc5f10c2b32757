#include "fakestream.h"

#include <chrono>
#include <cstring>

CFakeStream::CFakeStream() {}

CFakeStream::~CFakeStream() {}

void CFakeStream::Push(const void* data, size_t size)
{
    std::lock_guard<std::mutex> g(m_Lock);
    // Bytes already read go first, so a long-lived stream does not grow without end.
    if (m_nPos && m_nPos == m_In.size()) {
        m_In.clear();
        m_nPos = 0;
    }
    m_In.insert(m_In.end(), (const uint8_t*)data, (const uint8_t*)data + size);
    UpdateSignalLocked();
    m_Changed.notify_all();
}

void CFakeStream::Drop()
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_bDropped = true;
    UpdateSignalLocked();
    m_Changed.notify_all();
}

std::string CFakeStream::Sent(size_t n, uint32_t ms)
{
    std::unique_lock<std::mutex> g(m_Lock);
    m_Changed.wait_for(g, std::chrono::milliseconds(ms), [&] { return m_Out.size() >= n; });
    return m_Out;
}

bool CFakeStream::WaitClosed(uint32_t ms)
{
    std::unique_lock<std::mutex> g(m_Lock);
    return m_Changed.wait_for(g, std::chrono::milliseconds(ms), [&] { return m_bClosed; });
}

bool CFakeStream::WasClosed()
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_bClosed;
}

void CFakeStream::SetChunks(std::vector<size_t> chunks)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_Chunks = std::move(chunks);
}

void CFakeStream::SetUpAfterDrain(int questions)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_nUpAfterDrain = questions;
}

void CFakeStream::SetReadableWhenDrained(bool readable)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_bReadableWhenDrained = readable;
}

void CFakeStream::SetSendBlocks(bool blocks)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_bSendBlocks = blocks;
}

void CFakeStream::SetOffersReadySocket(bool offers)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_bOffersReady = offers;
}

void CFakeStream::SetWaitsAtOnce(bool atOnce)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_bWaitsAtOnce = atOnce;
}

CFakeStream::Stats CFakeStream::GetStats()
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Stats;
}

bool CFakeStream::UpLocked()
{
    if (m_bClosed || m_bDropped) return false;
    if (!DrainedLocked() || m_nUpAfterDrain < 0) return true;
    if (m_nUpAfterDrain > 0) {
        m_nUpAfterDrain--;
        return true;
    }
    return false;
}

void CFakeStream::UpdateSignalLocked()
{
    if (!m_pReady) return;
    if (!DrainedLocked() || m_bClosed || m_bDropped)
        m_pReady->Set();
    else
        m_pReady->Reset();
}

bool CFakeStream::Send(const void* data, int length)
{
    std::unique_lock<std::mutex> g(m_Lock);
    m_Stats.sends++;
    if (m_bSendBlocks) m_Changed.wait(g, [&] { return m_bClosed; });
    if (m_bClosed || m_bDropped || !data || length < 0) return false;
    m_Out.append((const char*)data, (size_t)length);
    m_Changed.notify_all();
    return true;
}

int CFakeStream::Receive(void* buffer, int size)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_Stats.receives++;
    if (m_bClosed || m_bDropped || size <= 0 || DrainedLocked()) return 0;
    size_t n = m_In.size() - m_nPos;
    if (!m_Chunks.empty()) {
        size_t c = m_Chunks[m_nNextChunk++ % m_Chunks.size()];
        if (c && c < n) n = c;
    }
    if (n > (size_t)size) n = (size_t)size;
    memcpy(buffer, m_In.data() + m_nPos, n);
    m_nPos += n;
    UpdateSignalLocked();
    return (int)n;
}

bool CFakeStream::WaitReadable(uint32_t ms)
{
    std::unique_lock<std::mutex> g(m_Lock);
    m_Stats.waits++;
    auto ready = [&] { return m_bClosed || m_bDropped || !DrainedLocked(); };
    if (ms && !m_bWaitsAtOnce && !ready()) m_Changed.wait_for(g, std::chrono::milliseconds(ms), ready);
    return ready() || m_bReadableWhenDrained;
}

bool CFakeStream::IsUp()
{
    std::lock_guard<std::mutex> g(m_Lock);
    return UpLocked();
}

void CFakeStream::Close()
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_bClosed = true;
    UpdateSignalLocked();
    m_Changed.notify_all();
}

QVSOCKET CFakeStream::GetReadySocket()
{
    std::lock_guard<std::mutex> g(m_Lock);
    if (!m_bOffersReady) return QV_INVALID_SOCKET;
    if (!m_pReady) {
        m_pReady.reset(new CQVSignal());
        UpdateSignalLocked();
    }
    return m_pReady->GetSocket();
}
