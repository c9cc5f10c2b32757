// The launcher's one session with a controller: connects, logs in, and carries
// messages both ways for registered endpoints. No thread, no lock: it reads only
// while a caller waits in a query or polls it.
#pragma once
#include <cstdint>
#include <string>

#include "../util/qvsocket.h"
#include "qvmsg.h"
#include "xconnection.h"

class CQVServer;
extern CQVServer* g_pServer;

const uint32_t QVSERVER_RX_BUFFER = 2000000;
const int QVSERVER_MAX_SINKS = 64;
const int QVSERVER_MAX_DEFERRED = 256;

// Base of every endpoint: a 15-bit id that requests carry and answers copy.
class CSocketSink
{
public:
    CSocketSink();                  // takes a fresh id from g_pServer when there is one
    explicit CSocketSink(uint16_t id); // the session's own constructor (id 0)
    virtual ~CSocketSink();
    virtual void OnMessage(CQVMSG* msg);
    virtual void OnConnectionState(bool connected);
    uint16_t GetId() const { return m_nId; }

protected:
    uint16_t m_nId;
};

// Login client kinds: mode -> type number and client name.
struct ClientKind {
    uint32_t typeNumber;
    const char* name;
};
const int QV_MODE_COUNT = 12;
extern const ClientKind g_ClientKinds[QV_MODE_COUNT];
extern const char LAUNCHER_VERSION_TEXT[]; // "8.6 Build 522.0 Rel"

class CQVServer : public CSocketSink
{
public:
    explicit CQVServer(const std::string& dataFolder);
    ~CQVServer() override;

    void SetLoginInfo(const std::string& hardwareAddress, const std::string& computerName,
                      const std::string& platformA, const std::string& platformB);
    void SetMode(int mode, const std::string& password);
    int GetMode() const { return m_nMode; }

    bool ConnectDirect(const QVSockAddr& address);
    bool ConnectRemote(const std::string& systemName, CConnectionListener* listener);
    bool Login(CConnectionListener* listener);

    bool Send(CQVMSG* msg);
    int Poll();            // 0 nothing, 1 data or dispatch, 2 transport down
    bool Pump(uint16_t id);

    bool Register(CSocketSink* sink);
    void Unregister(CSocketSink* sink);
    uint16_t AllocateId();

    bool IsConnected();
    CXConnection* GetConnection() { return m_pConnection; }
    int GetSinkCount() const { return m_nSinks; }
    int GetDeferredCount() const { return m_nDeferred; }

private:
    CQVServer(const CQVServer&) = delete;
    CQVServer& operator=(const CQVServer&) = delete;
    void Dispatch(CQVMSG* msg);
    int ReadIntoBuffer(uint32_t waitMs); // -1 transport gone, 0 nothing, >0 bytes
    void RemoveBytes(uint32_t offset, uint32_t count);
    bool IsRegistered(const CSocketSink* sink) const;
    void NotifyConnectionState(bool connected);
    void CloseTransport();
    bool MessageAt(uint32_t offset, uint32_t* size, bool* tooBig);
    void ResetForConnection();

    CXConnection* m_pConnection;
    uint32_t m_nStateFlags;
    CSocketSink* m_apSinks[QVSERVER_MAX_SINKS];
    int m_nSinks;
    uint16_t m_nNextId;
    CQVMSG* m_apDeferred[QVSERVER_MAX_DEFERRED];
    int m_nDeferred;
    int m_nMode;
    std::string m_strPassword;
    std::string m_strHardwareAddress, m_strComputerName, m_strPlatformA, m_strPlatformB;
    uint8_t* m_pRxBuffer;
    uint32_t m_nRxCount;
    uint32_t m_nDispatchOffset;
    uint32_t m_dwLastMessage;
    uint32_t m_dwLastData;
};

// One request and its answer, with a time-out. Lives on the caller's stack.
class CQVQuery : public CSocketSink
{
public:
    CQVQuery();
    ~CQVQuery() override;
    void SetTimeout(uint32_t ms) { m_dwTimeout = ms; }
    // On success *reply is the answer rewound to its first field, owned by the query.
    bool Ask(CQVMSG** reply, CQVMSG* question);
    bool Send(CQVMSG* question);
    bool Wait(CQVMSG** reply);
    void OnMessage(CQVMSG* msg) override;

private:
    void DropReply();
    bool HandOut(CQVMSG** reply);

    uint32_t m_dwTimeout;
    CQVMSG* m_pReply;
    bool m_bReplyOwned;
    bool m_bWaiting;
    uint16_t m_nExpectedCode;
    bool m_bSent;
};
