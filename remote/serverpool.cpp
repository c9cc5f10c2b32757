// The relay server list: built-in entry, list file, checksum, selection by system
// name, and the fetch of a server's list.
#include "serverpool.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "../util/qvfile.h"
#include "../util/qvtick.h"
#include "../util/qvtypes.h"
#include "../util/trace.h"
#include "relaypacket.h"

// RERUDI_RELAY_HOST comes from the build: where the launcher is shipped decides it.

const char SERVER_DEFAULT_NAME[] = "x!Relay";

const char* DefaultRelayHost()
{
    return RERUDI_RELAY_HOST;
}

// A server answers within this time, or the exchange fails; once a datagram that
// is not the answer came, the next one must follow within the shorter time. No
// stream of stray datagrams keeps an exchange going past the first time in all.
static const uint32_t EXCHANGE_FIRST_MS = 2000;
static const uint32_t EXCHANGE_NEXT_MS = 250;

void ServerEntry::Clear()
{
    memset(this, 0, sizeof(*this));
}

void ServerEntry::Set(const char* name, const char* host, int32_t port)
{
    Clear();
    TakeTextField(szName, sizeof(szName), name, strlen(name));
    TakeTextField(szHost, sizeof(szHost), host, strlen(host));
    nPort = port;
}

bool ServerEntry::Resolve(CHostResolver* resolver)
{
    if (nAddressLength > 0) return true;
    if (nPort < 0 || nPort > 0xFFFF) return false;
    uint32_t value = 0;
    if (!ParseDottedIPv4(szHost, &value)) {
        CHostResolver own(nullptr);
        const ResolveResult resolved = (resolver ? resolver : &own)->Resolve(szHost, &value);
        if (resolved == ResolveResult::Cancelled) return false;
        if (resolved != ResolveResult::Ok) {
            Trace("Resolve Failed %s", szHost);
            return false;
        }
    }
    address = MakeSockAddr(value, (uint16_t)nPort);
    nAddressLength = (int)sizeof(address);
    nFamily = address.family;
    return true;
}

// A path too long for the pool is not cut: a cut path names another file, or a
// file in a parent folder. The pool then works without a list file.
CServerPool::CServerPool(const std::string& path)
    : m_strPath(path.size() <= (size_t)SERVER_PATH_MAX ? path : std::string()), m_dwChecksum(0), m_nCount(0)
{
    for (ServerEntry& e : m_aEntries)
        e.Clear();
    SetDefaults();
}

CServerPool::~CServerPool() {}

void CServerPool::SetDefaults()
{
    m_aEntries[0].Set(SERVER_DEFAULT_NAME, DefaultRelayHost(), SERVER_DEFAULT_PORT);
    m_nCount = 1;
}

// The port is read as a C integer conversion would read it (leading blanks, a
// sign, digits up to the first other character) but saturating, so that no text
// overflows; the line is skipped unless the port fits 0 to 65535.
static bool ParsePort(const char* text, size_t length, int32_t* port)
{
    size_t i = 0;
    while (i < length && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        i++;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    while (i < length && text[i] >= '0' && text[i] <= '9') {
        if (value <= 0xFFFF) value = value * 10 + (text[i] - '0');
        i++;
    }
    if (negative) value = -value;
    if (value < 0 || value > 0xFFFF) return false;
    *port = (int32_t)value;
    return true;
}

bool CServerPool::ParseLine(const char* line, size_t length, ServerEntry* entry)
{
    const char* first = (const char*)memchr(line, ',', length);
    if (!first) return false;
    size_t hostAt = (size_t)(first - line) + 1;
    const char* second = (const char*)memchr(line + hostAt, ',', length - hostAt);
    if (!second) return false;
    size_t portAt = (size_t)(second - line) + 1;
    int32_t port = 0;
    if (!ParsePort(line + portAt, length - portAt, &port)) return false;
    entry->Clear();
    TakeTextField(entry->szName, sizeof(entry->szName), line, (size_t)(first - line));
    TakeTextField(entry->szHost, sizeof(entry->szHost), line + hostAt, (size_t)(second - line) - hostAt);
    entry->nPort = port;
    return true;
}

bool CServerPool::Load()
{
    CQVFile file(m_strPath);
    if (m_strPath.empty() || !file.Open(CQVFile::OpenRead, QVFILE_SHARE_READ)) {
        Trace("Error Can't open %s for reading...", m_strPath.c_str());
        return false;
    }
    // One byte past the limit tells the parser that the file goes on.
    uint32_t size = file.GetSize();
    if (size > SERVER_FILE_MAX) size = SERVER_FILE_MAX + 1;
    std::vector<char> text(size);
    bool read = size == 0 || file.ReadExact(text.data(), size);
    file.Close();
    if (!read) text.clear();
    return LoadText(text.data(), text.size());
}

bool CServerPool::LoadText(const char* text, size_t size)
{
    // Text longer than the limit ends at the last whole line inside it: half a
    // line could pass for an entry with a shortened port.
    if (size > SERVER_FILE_MAX) {
        size = SERVER_FILE_MAX;
        while (size > 0 && text[size - 1] != '\n')
            size--;
    }
    m_nCount = 0;
    size_t at = 0;
    while (at < size && m_nCount < SERVER_POOL_MAX) {
        const char* line = text + at;
        const char* feed = (const char*)memchr(line, '\n', size - at);
        size_t length = feed ? (size_t)(feed - line) : size - at;
        at += length + (feed ? 1 : 0);
        if (feed && length > 0 && line[length - 1] == '\r') length--;
        if (ParseLine(line, length, &m_aEntries[m_nCount])) m_nCount++;
    }
    for (int i = m_nCount; i < SERVER_POOL_MAX; i++)
        m_aEntries[i].Clear();
    return m_nCount > 0;
}

std::string CServerPool::SaveText() const
{
    std::string text;
    for (int i = 0; i < m_nCount; i++) {
        const ServerEntry& e = m_aEntries[i];
        text += StrPrintf("%s,%s,%d\n", e.szName, e.szHost, (int)e.nPort);
    }
    return text;
}

bool CServerPool::Save()
{
    // An empty list is never written: the next start would find no server at all.
    if (m_nCount < 1 || m_strPath.empty()) return false;
    const std::string text = SaveText();
    // The list is written beside the old one and then takes its place, so a crash
    // or a full disk half-way leaves the old list, never half a new one.
    const std::string fresh = m_strPath + ".new";
    CQVFile file(fresh);
    bool ok = file.Open(CQVFile::OpenCreate, 0);
    ok = ok && file.Write(text.data(), (uint32_t)text.size()) && file.Flush();
    file.Close();
    ok = ok && QVReplaceFile(fresh, m_strPath);
    if (!ok) QVDeleteFile(fresh);
    return ok;
}

uint32_t CServerPool::Checksum(const ServerEntry* entries, int count)
{
    uint32_t sum = 0;
    for (int i = 0; i < count; i++) {
        const ServerEntry& e = entries[i];
        for (int j = 0; j < SERVER_HOST_FIELD; j++)
            sum += (uint8_t)e.szHost[j];
        uint8_t port[4];
        PutLE32(port, (uint32_t)e.nPort);
        for (uint8_t b : port)
            sum += b;
        for (int j = 0; j < SERVER_NAME_FIELD; j++)
            sum += (uint8_t)e.szName[j];
    }
    return sum;
}

void CServerPool::UpdateChecksum()
{
    m_dwChecksum = Checksum(m_aEntries, m_nCount);
}

void CServerPool::Dump() const
{
    printf("Server Pool CS:0x%08X\r\n", m_dwChecksum);
    for (int i = 0; i < m_nCount; i++)
        Trace("%s\t%s:\t%d\r\n", m_aEntries[i].szName, m_aEntries[i].szHost, (int)m_aEntries[i].nPort);
}

ServerEntry* CServerPool::GetEntry(int index)
{
    if (index < 0 || index >= m_nCount) return nullptr;
    return &m_aEntries[index];
}

ServerEntry* CServerPool::SelectFor(const char* systemName, CHostResolver* resolver)
{
    if (m_nCount < 1 || !systemName || !systemName[0]) return nullptr;
    // Signed bytes, as the relay servers add them: both sides must pick the same entry.
    int32_t sum = 0;
    for (const char* p = systemName; *p; p++)
        sum = (int32_t)((uint32_t)sum + (uint32_t)(int32_t)(int8_t)*p);
    ServerEntry* entry = &m_aEntries[(uint32_t)sum % (uint32_t)m_nCount];
    if (!entry->Resolve(resolver)) {
        Trace("Error No address for server %s", entry->szName);
        return nullptr;
    }
    return entry;
}

void CServerPool::ClearResolved()
{
    for (ServerEntry& e : m_aEntries) {
        memset(&e.address, 0, sizeof(e.address));
        e.nAddressLength = 0;
        e.nFamily = 0;
    }
}

namespace
{

enum ExchangeResult { EXCHANGE_OK, EXCHANGE_FAILED, EXCHANGE_CANCELLED };

// Sends a list request and takes the first datagram from the server that the
// parser accepts; a type-18 datagram too short for its layout is passed over like
// any other.
template <typename Accept>
ExchangeResult Exchange(QVSOCKET s, const QVSockAddr& server, const uint8_t* request, int requestLength,
                        CAttemptObserver* observer, Accept accept)
{
    if (SocketSendTo(s, request, requestLength, server) != requestLength) return EXCHANGE_FAILED;
    uint32_t start = GetTick();
    uint32_t wait = EXCHANGE_FIRST_MS;
    for (;;) {
        uint32_t spent = TickSince(start);
        if (spent >= EXCHANGE_FIRST_MS) return EXCHANGE_FAILED;
        uint32_t left = EXCHANGE_FIRST_MS - spent;
        AttemptWait ready = AttemptWaitReadable(observer, s, wait < left ? wait : left);
        if (ready == ATTEMPT_WAIT_CANCELLED) return EXCHANGE_CANCELLED;
        if (ready != ATTEMPT_WAIT_READY) return EXCHANGE_FAILED;
        uint8_t answer[STUN_SMALL_RECEIVE];
        QVSockAddr from;
        int n = SocketRecvFrom(s, answer, (int)sizeof(answer), &from);
        if (n < 0) return EXCHANGE_FAILED;
        // What comes from anywhere but the server asked is not part of the
        // exchange at all: a forged list would be saved and steer every later
        // connection, and a flood of strays must not cut the wait for the real
        // answer short either. The first time still bounds the whole exchange.
        if (from.addr != server.addr || from.port != server.port) continue;
        if (accept(answer, n)) return EXCHANGE_OK;
        wait = EXCHANGE_NEXT_MS;
    }
}

} // namespace

bool CServerPool::LoadFromServer(QVSOCKET s, const QVSockAddr& server, int addressLength, uint32_t clientTag,
                                 CAttemptObserver* observer)
{
    if (s == QV_INVALID_SOCKET || addressLength < (int)sizeof(QVSockAddr)) return false;
    uint8_t request[STUN_LIST_COUNT_LENGTH];
    uint32_t announced = 0;
    int length = BuildListCountRequest(request, clientTag);
    if (Exchange(s, server, request, length, observer,
                 [&](const uint8_t* d, int n) { return ParseListCountAck(d, n, &announced); }) != EXCHANGE_OK)
        return false;
    int count = announced > (uint32_t)SERVER_POOL_MAX ? SERVER_POOL_MAX : (int)announced;
    AttemptStatus(observer, StrPrintf("Found %d Servers", count).c_str());
    // A server with no entries has nothing to give: keeping the list that found it
    // is better than an empty one (which would also be written to the file).
    if (count == 0) return false;

    // The pool is empty while the list comes in; as before, a fetch that breaks
    // off leaves the built-in entry and does not touch the file or the checksum.
    m_nCount = 0;
    ServerEntry fresh[SERVER_POOL_MAX];
    for (int i = 0; i < count; i++) {
        StunListEntry got;
        length = BuildListEntryRequest(request, (uint8_t)(i + 1), clientTag);
        if (Exchange(s, server, request, length, observer,
                     [&](const uint8_t* d, int n) { return ParseListEntryAck(d, n, &got); }) != EXCHANGE_OK) {
            SetDefaults();
            return false;
        }
        fresh[i].Set(got.szName, got.szHost, got.wPort);
        AttemptStatus(observer, StrPrintf("Found %s", fresh[i].szName).c_str());
    }
    for (int i = 0; i < SERVER_POOL_MAX; i++) {
        if (i < count)
            m_aEntries[i] = fresh[i];
        else
            m_aEntries[i].Clear();
    }
    m_nCount = count;
    UpdateChecksum();
    Save();
    return true;
}
