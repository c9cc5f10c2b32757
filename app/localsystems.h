// The list of controllers that answer on the local network: discovery sockets,
// their answers turned into list lines, pings and expiry, and the gateway on this
// PC. The main window owns one and calls Tick from its timer.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "../util/qvoblist.h"

class CMyListBox;
class CPingSocket;
struct SYSTEM_ANSWER;
struct SystemEntry;

class CLocalSystems
{
  public:
    explicit CLocalSystems(CMyListBox& list);
    ~CLocalSystems();

    // The system name now in the field (before a new line may select itself), and
    // what to do once a new line was selected that way.
    std::function<std::string()> currentName;
    std::function<void()> onAutoSelected;
    std::function<void()> onLineAdded;

    // One idle tick: drain answers, ping every 500 ms, expire one stale line.
    void Tick();
    // One discovery answer from the socket, or the gateway check when socket is null.
    // Whether the caller may ask again (false: it should stop for this tick).
    bool ProcessReply(CPingSocket* socket);
    // The list's side of one answer from the sender's address; same result.
    bool HandleAnswer(const SYSTEM_ANSWER& answer, uint32_t sender);
    static bool IsGatewayRunning();
    void StartDiscovery();
    void StopDiscovery();
    SystemEntry* SelectedEntry() const;
    // The first line whose name equals name, letter case ignored; -1 when none.
    int FindLine(const std::string& name) const;
    // Asks the local network for a controller of exactly this name for ms; its
    // address, or 0.
    static uint32_t SearchByName(const std::string& name, uint32_t ms);

    // When set, nothing touches the real network adapters.
    static bool s_bLocalNetworkOff;
    // Datagrams taken from each discovery socket per tick at most (256).
    static int s_nMaxDatagramsPerTick;

    CQVObList m_PingSockets; // owned CPingSocket objects

  private:
    CLocalSystems(const CLocalSystems&) = delete;
    CLocalSystems& operator=(const CLocalSystems&) = delete;

    CMyListBox& m_List;
    uint32_t m_dwLastPingTick;
};
