// The relay servers the launcher probes and asks for controllers: a built-in
// entry, the list file "servers.txt", and the list a relay server hands out when
// its checksum differs from ours.
#pragma once
#include <cstdint>
#include <string>

#include "../protocol/attempt.h"
#include "../util/qvsocket.h"
#include "resolve.h"

const int SERVER_HOST_FIELD = 128;
const int SERVER_NAME_FIELD = 64;
const int SERVER_POOL_MAX = 32;
const int SERVER_PATH_MAX = 255;
const int SERVER_DEFAULT_PORT = 8500;
// A list file is read up to this size; what follows is not looked at. 32 entries
// of the longest fields take about 6.5 KB.
const uint32_t SERVER_FILE_MAX = 256 * 1024;

// The built-in entry's name and host (the host is a deployment setting).
extern const char SERVER_DEFAULT_NAME[];
const char* DefaultRelayHost();

// One relay server. Both texts are terminated inside their fields and padded with
// NUL bytes after the terminator, wherever they came from: the list checksum
// covers the whole fields.
struct ServerEntry {
    char szHost[SERVER_HOST_FIELD]; // dotted IPv4 address or host name
    int32_t nPort;                  // UDP port, 0 to 65535
    char szName[SERVER_NAME_FIELD]; // shown in status lines
    // Resolved address; a length of 0 means not resolved yet.
    QVSockAddr address;
    int nAddressLength;
    int nFamily;

    void Clear();
    void Set(const char* name, const char* host, int32_t port);
    // Resolves the host once (IPv4 only); later calls reuse the address. A host
    // name goes to the resolver (its attempt's observer and bound); without one,
    // to a resolver of its own that waits at most RESOLVE_HOST_MS. False also when
    // the resolver's observer cancelled.
    bool Resolve(CHostResolver* resolver = nullptr);
};

class CServerPool
{
  public:
    // A path longer than SERVER_PATH_MAX characters is not used: the pool then
    // neither reads nor writes a file.
    explicit CServerPool(const std::string& path);
    virtual ~CServerPool();

    // Reads the list file; true if at least one entry was read. A file that
    // cannot be opened leaves the pool as it was.
    bool Load();
    // The same from text in memory (what Load reads from the file); text past
    // SERVER_FILE_MAX bytes is not looked at.
    bool LoadText(const char* text, size_t size);
    // The list file's bytes for this list (what Save writes).
    std::string SaveText() const;
    // Replaces the list file whole (a new file renamed over the old one); false,
    // with the old file left as it was, when it cannot be written or the pool is
    // empty.
    bool Save();
    void SetDefaults();
    void UpdateChecksum();
    uint32_t GetChecksum() const { return m_dwChecksum; }
    void Dump() const;
    int GetCount() const { return m_nCount; }
    ServerEntry* GetEntry(int index);
    // The entry that serves a system name, resolved (by the resolver, as
    // ServerEntry::Resolve); null when there is none.
    ServerEntry* SelectFor(const char* systemName, CHostResolver* resolver = nullptr);
    void ClearResolved();
    // Replaces the list with the one the server holds, asking on the given UDP
    // socket. Every wait asks the observer (which may be null) at least every
    // ATTEMPT_ASK_MS; a cancel counts as a failed exchange.
    bool LoadFromServer(QVSOCKET s, const QVSockAddr& server, int addressLength, uint32_t clientTag,
                        CAttemptObserver* observer);
    const std::string& GetPath() const { return m_strPath; }

    // The checksum rule shared with the relay servers, over count entries.
    static uint32_t Checksum(const ServerEntry* entries, int count);
    // One line of the list file into an entry; false for a line that is skipped.
    static bool ParseLine(const char* line, size_t length, ServerEntry* entry);

  private:
    CServerPool(const CServerPool&) = delete;
    CServerPool& operator=(const CServerPool&) = delete;

    std::string m_strPath;
    uint32_t m_dwChecksum;
    ServerEntry m_aEntries[SERVER_POOL_MAX];
    int m_nCount;
};
