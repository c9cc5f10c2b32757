// The launcher's one session with a controller: logs in over whatever transport
// it was given (or connects the direct road itself), and carries messages both
// ways for registered endpoints. No thread, no lock: it reads only while a caller
// waits in a query or polls it. Nobody reaches it through a global: whoever needs
// it is handed it.
#pragma once
#include <cstdint>
#include <string>

#include "../util/qvsocket.h"
#include "qvmsg.h"
#include "xconnection.h"

class CQVServer;

const uint32_t QVSERVER_RX_BUFFER = 2000000;
const int QVSERVER_MAX_SINKS = 64;
const int QVSERVER_MAX_DEFERRED = 256;

// Base of every endpoint: a 15-bit id that requests carry and answers copy.
class CSocketSink
{
  public:
    // Takes a fresh id from the session; without one the id is 0 and the endpoint
    // can reach nothing.
    explicit CSocketSink(CQVServer* session);
    // A fixed id (the session's own 0, and tests).
    CSocketSink(CQVServer* session, uint16_t id);
    virtual ~CSocketSink(); // leaves the session's table
    virtual void OnMessage(CQVMSG* msg);
    virtual void OnConnectionState(bool connected);
    uint16_t GetId() const { return m_nId; }
    CQVServer* GetSession() const { return m_pSession; }

  protected:
    CQVServer* m_pSession;
    uint16_t m_nId;

  private:
    friend class CQVServer; // detaches the endpoints it still holds when it goes
    CSocketSink(const CSocketSink&) = delete;
    CSocketSink& operator=(const CSocketSink&) = delete;
};

// What one Poll found. The numbers are those the session has always answered.
enum class PollResult {
    Nothing = 0,       // nothing arrived and nothing was dispatched
    Serviced = 1,      // bytes arrived or messages were dispatched
    TransportDown = 2, // no connection (now or any more)
};

// How a login ended.
enum class LoginResult {
    Ok,
    NoResponse,       // no challenge came back
    PasswordRejected, // refused, answered wrongly, or no key could be made
    BadMode,          // a client kind the launcher does not know
    Cancelled,
    Count
};
const char* LoginResultText(LoginResult result);

// Login client kinds: mode -> type number and client name.
struct ClientKind {
    uint32_t typeNumber;
    const char* name;
};
const int QV_MODE_COUNT = 12;
extern const ClientKind g_ClientKinds[QV_MODE_COUNT];

class CQVServer : public CSocketSink
{
  public:
    explicit CQVServer(const std::string& dataFolder);
    ~CQVServer() override;

    void SetLoginInfo(const std::string& hardwareAddress, const std::string& computerName,
                      const std::string& platformA, const std::string& platformB);
    // The client kind to log in as (an index of g_ClientKinds) and the password.
    void SetMode(int clientKind, const std::string& password);
    int GetMode() const { return m_nMode; }

    // The direct road and the login in one step; the transport is closed again on
    // failure. *connect, when given, tells a failed connect from a failed login.
    LoginResult ConnectDirect(const QVSockAddr& address, CAttemptObserver* observer = nullptr,
                              ConnectResult* connect = nullptr);
    // Logs in over the transport as it stands, whichever road connected it. Bytes
    // of an earlier connection are dropped first. Does not close on failure.
    LoginResult Login(CAttemptObserver* observer);

    bool Send(CQVMSG* msg);
    PollResult Poll();
    bool Pump(uint16_t id);

    bool Register(CSocketSink* sink);
    void Unregister(CSocketSink* sink);
    uint16_t AllocateId();

    bool IsConnected();
    // Back to the state of a new session (closing the transport): no bytes, no
    // put-aside messages, no reported connection, and, when no endpoint but the
    // session is registered, ids counted from the start again. Lets one session
    // (and its receive buffer) serve many short runs.
    void ResetSession();
    CXConnection* GetConnection() { return m_pConnection; }
    int GetSinkCount() const { return m_nSinks; }
    int GetDeferredCount() const { return m_nDeferred; }

  private:
    CQVServer(const CQVServer&) = delete;
    CQVServer& operator=(const CQVServer&) = delete;
    // What one read of the transport brought.
    enum class ReadResult { Gone, Nothing, Arrived };

    void Dispatch(CQVMSG* msg);
    ReadResult ReadIntoBuffer(uint32_t waitMs);
    bool ReportConnectionState();
    void DispatchPutAside(int index);
    void PutAside(const uint8_t* wire);
    bool DispatchInPlace(uint32_t offset, uint32_t size);
    PollResult DispatchBuffered(PollResult result);
    bool DispatchFirstFor(uint16_t id);
    void RemoveBytes(uint32_t offset, uint32_t count);
    bool IsRegistered(const CSocketSink* sink) const;
    void NotifyConnectionState(bool connected);
    void CloseTransport();
    bool MessageAt(uint32_t offset, uint32_t* size, bool* tooBig);
    void ResetForConnection();

    CXConnection* m_pConnection;
    // The connected state last reported to the endpoints (a Poll reports each change once).
    bool m_bConnectedReported;
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

// How a query ended.
enum class QueryResult {
    Pending, // nothing asked yet
    Answered,
    NotSent, // no session, no connection, or the send failed
    TimedOut,
    Lost,        // the connection went down while waiting
    WrongAnswer, // an answer with another code than the request's plus one
    Cancelled,   // the observer said no
};

// One request and its answer, with a time-out. Lives on the caller's stack. The
// wait asks the observer (when given) between reads, at least every
// ATTEMPT_ASK_MS.
class CQVQuery : public CSocketSink
{
  public:
    explicit CQVQuery(CQVServer* session, CAttemptObserver* observer = nullptr);
    ~CQVQuery() override;
    void SetTimeout(uint32_t ms) { m_dwTimeout = ms; }
    QueryResult GetResult() const { return m_Result; }
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
    CAttemptObserver* m_pObserver;
    QueryResult m_Result;
};
