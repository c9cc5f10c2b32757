#include "localsystems.h"

#include <winsock2.h>

#include <windows.h>

#include <cstring>

#include "../protocol/discovery.h"
#include "../remote/netaddr.h"
#include "../ui/mylistbox.h"
#include "../util/qvtick.h"

namespace
{

const uint32_t PING_PERIOD_MS = 500;
const uint32_t ENTRY_MAX_AGE_MS = 2000;
// A host that answers without pause must not keep the window's thread in the
// drain: per tick each socket gives at most s_nMaxDatagramsPerTick datagrams, or
// what it can in this long; the rest wait in the socket for the next tick (and
// what does not fit there is dropped by the system, as with any datagram).
const uint32_t MAX_DRAIN_MS_PER_TICK = 100;
const uint32_t SEARCH_INTERVAL_MS = 50;
const char GATEWAY_MUTEX[] = "GatewayMutex";
const char LOCAL_MACHINE_NAME[] = "Local Machine";

bool EqualsNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = (char)(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = (char)(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

} // namespace

bool CLocalSystems::s_bLocalNetworkOff = false;
int CLocalSystems::s_nMaxDatagramsPerTick = 256;

CLocalSystems::CLocalSystems(CMyListBox& list) : m_List(list), m_dwLastPingTick(GetTick()) {}

CLocalSystems::~CLocalSystems()
{
    StopDiscovery();
}

SystemEntry* CLocalSystems::SelectedEntry() const
{
    if (!m_List.m_hWnd) return nullptr;
    int sel = m_List.GetCurSel();
    return sel >= 0 ? m_List.GetEntry(sel) : nullptr;
}

int CLocalSystems::FindLine(const std::string& name) const
{
    const int count = m_List.GetEntryCount();
    for (int i = 0; i < count; ++i) {
        SystemEntry* entry = m_List.GetEntry(i);
        if (entry && EqualsNoCase(entry->m_strName, name)) return i;
    }
    return -1;
}

uint32_t CLocalSystems::SearchByName(const std::string& name, uint32_t ms)
{
    CSysLocator locator(SEARCH_INTERVAL_MS);
    const uint32_t start = GetTick();
    while (TickSince(start) < ms) {
        SYSTEM_ANSWER answer;
        if (locator.Next(answer) && name == answer.szName) return answer.dwAddress;
    }
    return 0;
}

void CLocalSystems::Tick()
{
    POSITION pos = m_PingSockets.GetHeadPosition();
    while (pos) {
        CPingSocket* socket = (CPingSocket*)m_PingSockets.GetNext(pos);
        const uint32_t drainStart = GetTick();
        for (int taken = 0; taken < s_nMaxDatagramsPerTick; ++taken) {
            if (!ProcessReply(socket) || TickSince(drainStart) >= MAX_DRAIN_MS_PER_TICK) break;
        }
    }
    ProcessReply(nullptr);

    if (TickSince(m_dwLastPingTick) > PING_PERIOD_MS) {
        pos = m_PingSockets.GetHeadPosition();
        while (pos)
            ((CPingSocket*)m_PingSockets.GetNext(pos))->SendDiscovery();
        m_dwLastPingTick = GetTick();
    }

    const int count = m_List.GetEntryCount();
    for (int i = 0; i < count; ++i) {
        SystemEntry* entry = m_List.GetEntry(i);
        if (entry && TickSince(entry->m_dwLastSeen) > ENTRY_MAX_AGE_MS) {
            m_List.RemoveEntry(entry);
            break;
        }
    }
}

bool CLocalSystems::ProcessReply(CPingSocket* socket)
{
    SYSTEM_ANSWER answer;
    memset(&answer, 0, sizeof(answer));
    uint32_t sender;
    if (socket) {
        QVSockAddr from;
        memset(&from, 0, sizeof(from));
        switch (socket->ReceiveDiscovery(answer, from)) {
        case PingReceive::Nothing:
            return false;
        case PingReceive::Ignored:
            return true;
        case PingReceive::Taken:
            break;
        }
        sender = GetAddress(from);
        if (sender == LoopbackAddress()) return false;
    } else {
        if (!IsGatewayRunning()) return false;
        strcpy(answer.szName, LOCAL_MACHINE_NAME);
        answer.wPort = 80;
        answer.bStatus = DISCOVERY_STATUS_SELECTABLE;
        answer.bFlags = 0;
        answer.dwAddress = LoopbackAddress();
        sender = LoopbackAddress();
    }
    return HandleAnswer(answer, sender);
}

bool CLocalSystems::HandleAnswer(const SYSTEM_ANSWER& answer, uint32_t sender)
{
    if (answer.bStatus == DISCOVERY_STATUS_HIDDEN) return false;
    if (!m_List.m_hWnd) return true;

    // Every answer walks the lines; the list's own copy of its entries answers
    // without window messages, and a refreshed line is not redrawn (nothing on it
    // changes).
    const std::string name = answer.szName;
    bool known = false;
    int i = 0;
    while (i < m_List.GetEntryCount()) {
        SystemEntry* entry = m_List.GetEntry(i);
        if (entry && entry->m_dwAddress == sender) {
            if (entry->m_strName != name) {
                // The controller at this address was renamed: its old line goes.
                const int before = m_List.GetEntryCount();
                m_List.RemoveEntry(entry);
                if (m_List.GetEntryCount() < before) continue;
            } else {
                entry->m_dwLastSeen = GetTick();
                known = true;
            }
        }
        ++i;
    }
    if (answer.bFlags & 0x70) known = true;
    if (known) return true;

    const std::string typed = currentName ? currentName() : std::string();
    SystemEntry* entry = new SystemEntry();
    entry->m_strName = name;
    entry->m_dwAddress = sender;
    entry->m_wPort = answer.wPort;
    entry->m_bStatus = answer.bStatus;
    entry->m_bFlags = answer.bFlags;
    entry->m_dwLastSeen = GetTick();
    const int index = m_List.AddEntry(entry);
    if (index < 0) {
        delete entry; // a refused line leaves the entry ours
        return true;
    }
    if (onLineAdded) onLineAdded();
    if (EqualsNoCase(entry->m_strName, typed) || (typed.empty() && entry->IsAutoSelectable())) {
        m_List.SetCurSel(index);
        if (onAutoSelected) onAutoSelected();
    }
    return true;
}

bool CLocalSystems::IsGatewayRunning()
{
    HANDLE mutex = ::CreateMutexA(nullptr, FALSE, GATEWAY_MUTEX);
    if (!mutex) return true;
    const DWORD wait = ::WaitForSingleObject(mutex, 100);
    ::ReleaseMutex(mutex); // fails harmlessly when the wait did not take it
    ::CloseHandle(mutex);
    return wait != WAIT_OBJECT_0;
}

void CLocalSystems::StartDiscovery()
{
    // A second start would bind the same ports again; the old sockets go first.
    if (!m_PingSockets.IsEmpty()) StopDiscovery();
    if (s_bLocalNetworkOff) return;
    const int count = CountIpAddresses();
    for (int i = 0; i < count; ++i) {
        uint32_t mask = 0, address = 0;
        if (FindAdapterAddress(i, &mask, &address)) {
            CPingSocket* socket = new CPingSocket(address);
            socket->SetLocalMask(mask);
            m_PingSockets.AddTail(socket);
        }
    }
}

void CLocalSystems::StopDiscovery()
{
    while (!m_PingSockets.IsEmpty())
        delete (CPingSocket*)m_PingSockets.RemoveHead();
}
