#include "qvserver.h"

#include <new>
#include <vector>

#include "../util/enumtext.h"
#include "../util/product.h"
#include "../util/qvtick.h"
#include "../util/qvtypes.h"
#include "qvcode.h"

const ClientKind g_ClientKinds[QV_MODE_COUNT] = {
    {0, "Win Rerudi"},   {3, "Config"},     {4, "Service"},    {9, "Peer"},
    {0, "Win32 Client"}, {0, "Win Rerudi"}, {13, "OSD"},       {5, "minipad"},
    {18, "Extender"},    {19, "Upgrade"},   {0, "Win Rerudi"}, {20, "TC-Config"},
};

// A password pads to a key of 16 or 32 bytes; anything longer has no key at all.
static const size_t MAX_PASSWORD_BYTES = 32;
static const uint32_t CHALLENGE_TIMEOUT_MS = 5000;
static const uint32_t LOGIN_TIMEOUT_MS = 10000;
static const uint32_t POLL_WAIT_MS = 100;
static const uint32_t PUMP_WAIT_MS = 50;
static const uint32_t SILENCE_MESSAGE_MS = 10000;
static const uint32_t SILENCE_DATA_MS = 5000;

// ---------------------------------------------------------------------------
// CSocketSink

CSocketSink::CSocketSink(CQVServer* session) : m_pSession(session), m_nId(session ? session->AllocateId() : 0)
{
}

CSocketSink::CSocketSink(CQVServer* session, uint16_t id) : m_pSession(session), m_nId(id) {}

CSocketSink::~CSocketSink()
{
    // An endpoint that goes away while still registered must not leave a dangling
    // pointer in the session's table.
    if (m_pSession && static_cast<CSocketSink*>(m_pSession) != this) m_pSession->Unregister(this);
}

void CSocketSink::OnMessage(CQVMSG*) {}

void CSocketSink::OnConnectionState(bool) {}

// ---------------------------------------------------------------------------
// CQVServer

CQVServer::CQVServer(const std::string& dataFolder)
    : CSocketSink(nullptr, 0), m_pConnection(new CXConnection(dataFolder + "/servers.txt")),
      m_bConnectedReported(false), m_nSinks(0), m_nNextId(0), m_nDeferred(0), m_nMode(0),
      m_pRxBuffer(new (std::nothrow) uint8_t[QVSERVER_RX_BUFFER]), m_nRxCount(0), m_nDispatchOffset(0),
      m_dwLastMessage(GetTick()), m_dwLastData(m_dwLastMessage)
{
    Register(this);
}

CQVServer::~CQVServer()
{
    delete m_pConnection;
    m_pConnection = nullptr;
    Unregister(this);
    // Endpoints that outlive the session must not reach back into it.
    for (int i = 0; i < m_nSinks; i++)
        m_apSinks[i]->m_pSession = nullptr;
    m_nSinks = 0;
    for (int i = 0; i < m_nDeferred; i++)
        delete m_apDeferred[i];
    m_nDeferred = 0;
    delete[] m_pRxBuffer;
}

void CQVServer::SetLoginInfo(const std::string& hardwareAddress, const std::string& computerName,
                             const std::string& platformA, const std::string& platformB)
{
    m_strHardwareAddress = hardwareAddress;
    m_strComputerName = computerName;
    m_strPlatformA = platformA;
    m_strPlatformB = platformB;
}

void CQVServer::SetMode(int clientKind, const std::string& password)
{
    m_nMode = clientKind;
    m_strPassword = password;
}

bool CQVServer::IsConnected()
{
    return m_pConnection && m_pConnection->IsConnected();
}

bool CQVServer::Register(CSocketSink* sink)
{
    if (!sink || m_nSinks >= QVSERVER_MAX_SINKS) return false;
    for (int i = 0; i < m_nSinks; i++)
        if (m_apSinks[i] == sink) return false;
    m_apSinks[m_nSinks++] = sink;
    return true;
}

void CQVServer::Unregister(CSocketSink* sink)
{
    int kept = 0;
    for (int i = 0; i < m_nSinks; i++)
        if (m_apSinks[i] != sink) m_apSinks[kept++] = m_apSinks[i];
    m_nSinks = kept;
}

bool CQVServer::IsRegistered(const CSocketSink* sink) const
{
    for (int i = 0; i < m_nSinks; i++)
        if (m_apSinks[i] == sink) return true;
    return false;
}

uint16_t CQVServer::AllocateId()
{
    // Id 0 is the session's own and 32767 addresses every endpoint; neither is
    // ever handed out. The table holds at most 64 endpoints, so a free id is
    // always found within a few steps.
    uint16_t candidate = m_nNextId;
    for (;;) {
        if (candidate == 0 || candidate == MSG_ID_UNSOLICITED) {
            candidate = (uint16_t)((candidate + 1) & 0x7FFF);
            continue;
        }
        bool clash = false;
        for (int i = 0; i < m_nSinks; i++) {
            if (m_apSinks[i]->GetId() == candidate) {
                clash = true;
                break;
            }
        }
        if (!clash) break;
        candidate = (uint16_t)((candidate + 1) & 0x7FFF);
    }
    m_nNextId = (uint16_t)((candidate + 1) & 0x7FFF);
    return candidate;
}

void CQVServer::Dispatch(CQVMSG* msg)
{
    if (msg->GetId() == MSG_ID_UNSOLICITED) {
        // Handlers may unregister themselves or others while this runs: walk a
        // copy of the table and skip endpoints that have left it meanwhile.
        CSocketSink* sinks[QVSERVER_MAX_SINKS];
        int n = m_nSinks;
        for (int i = 0; i < n; i++)
            sinks[i] = m_apSinks[i];
        for (int i = 0; i < n; i++) {
            if (!IsRegistered(sinks[i])) continue;
            msg->Rewind();
            sinks[i]->OnMessage(msg);
        }
        return;
    }
    for (int i = 0; i < m_nSinks; i++) {
        if (m_apSinks[i]->GetId() == msg->GetId()) {
            m_apSinks[i]->OnMessage(msg);
            return;
        }
    }
}

void CQVServer::NotifyConnectionState(bool connected)
{
    CSocketSink* sinks[QVSERVER_MAX_SINKS];
    int n = m_nSinks;
    for (int i = 0; i < n; i++)
        sinks[i] = m_apSinks[i];
    for (int i = 0; i < n; i++)
        if (IsRegistered(sinks[i])) sinks[i]->OnConnectionState(connected);
}

void CQVServer::RemoveBytes(uint32_t offset, uint32_t count)
{
    if (offset >= m_nRxCount) return;
    if (count > m_nRxCount - offset) count = m_nRxCount - offset;
    uint32_t tail = m_nRxCount - offset - count;
    if (tail) memmove(m_pRxBuffer + offset, m_pRxBuffer + offset + count, tail);
    m_nRxCount -= count;
}

void CQVServer::CloseTransport()
{
    if (m_pConnection) m_pConnection->Close();
}

CQVServer::ReadResult CQVServer::ReadIntoBuffer(uint32_t waitMs)
{
    if (!m_pConnection) return ReadResult::Gone;
    if (!m_pConnection->WaitReadable(waitMs)) return ReadResult::Nothing;
    if (!m_pRxBuffer || m_nRxCount >= QVSERVER_RX_BUFFER) {
        // A full buffer without a complete message can never complete one; reading
        // with no room would look like the peer closing. End the stream instead.
        CloseTransport();
        return ReadResult::Gone;
    }
    int r = m_pConnection->Receive(m_pRxBuffer + m_nRxCount, (int)(QVSERVER_RX_BUFFER - m_nRxCount));
    if (r <= 0) return m_pConnection->IsConnected() ? ReadResult::Nothing : ReadResult::Gone;
    m_nRxCount += (uint32_t)r;
    return ReadResult::Arrived;
}

// Whether a complete message lies at offset; closes the transport and sets *tooBig
// when its header announces more than the receive buffer can ever hold.
bool CQVServer::MessageAt(uint32_t offset, uint32_t* size, bool* tooBig)
{
    *tooBig = false;
    if (m_nRxCount < offset || m_nRxCount - offset < QVMSG_HEADER_SIZE) return false;
    uint32_t length = GetLE32(m_pRxBuffer + offset + 4);
    if (length > QVSERVER_RX_BUFFER - QVMSG_HEADER_SIZE) {
        *tooBig = true;
        CloseTransport();
        return false;
    }
    *size = length + QVMSG_HEADER_SIZE;
    return m_nRxCount - offset >= *size;
}

// Tells the endpoints when the transport has come up or gone down since the last
// report; whether it is connected now.
bool CQVServer::ReportConnectionState()
{
    const bool connected = IsConnected();
    if (connected != m_bConnectedReported) {
        m_bConnectedReported = connected;
        NotifyConnectionState(connected);
    }
    return connected;
}

// Takes the put-aside message at index out of the queue (the rest keep their
// order), dispatches and deletes it.
void CQVServer::DispatchPutAside(int index)
{
    CQVMSG* msg = m_apDeferred[index];
    for (int i = index + 1; i < m_nDeferred; i++)
        m_apDeferred[i - 1] = m_apDeferred[i];
    m_nDeferred--;
    msg->Rewind();
    Dispatch(msg);
    delete msg;
}

// Keeps a copy of a message for an endpoint that is not waiting now; a full queue
// drops it.
void CQVServer::PutAside(const uint8_t* wire)
{
    if (m_nDeferred >= QVSERVER_MAX_DEFERRED) return;
    CQVMSG view(wire);
    if (CQVMSG* copy = view.Clone()) m_apDeferred[m_nDeferred++] = copy;
}

// Dispatches the complete message at offset where it lies: while it is under
// dispatch, every byte before its end counts as under dispatch, so nested calls
// work behind it. False when a handler started a new connection, which leaves
// nothing of this buffer.
bool CQVServer::DispatchInPlace(uint32_t offset, uint32_t size)
{
    m_nDispatchOffset = offset + size;
    CQVMSG view(m_pRxBuffer + offset);
    Dispatch(&view);
    if (m_nRxCount >= offset + size) return true;
    m_nDispatchOffset = 0;
    return false;
}

PollResult CQVServer::Poll()
{
    if (!ReportConnectionState()) return PollResult::TransportDown;

    // Messages put aside while a query waited. Taken from the front one at a time,
    // so that a handler's nested wait still finds the ones behind in the queue and
    // messages deferred meanwhile stay for the next round.
    for (int n = m_nDeferred; n > 0 && m_nDeferred > 0; n--)
        DispatchPutAside(0);

    PollResult result = PollResult::Nothing;
    switch (ReadIntoBuffer(POLL_WAIT_MS)) {
    case ReadResult::Gone:
        return PollResult::TransportDown;
    case ReadResult::Arrived:
        m_dwLastData = GetTick();
        result = PollResult::Serviced;
        break;
    case ReadResult::Nothing:
        if (TickSince(m_dwLastMessage) > SILENCE_MESSAGE_MS && TickSince(m_dwLastData) > SILENCE_DATA_MS) {
            CloseTransport();
            return PollResult::TransportDown;
        }
        break;
    }
    return DispatchBuffered(result);
}

// Dispatches every complete message behind those already under dispatch (a Poll
// from inside a handler works behind the message being dispatched). Handled
// messages are removed in batches rather than one by one: moving the rest of the
// buffer down after every message would make a burst of small messages cost the
// square of its size.
PollResult CQVServer::DispatchBuffered(PollResult result)
{
    const uint32_t base = m_nDispatchOffset;
    uint32_t pos = base;
    for (;;) {
        uint32_t size;
        bool tooBig;
        if (!MessageAt(pos, &size, &tooBig)) {
            if (tooBig) result = PollResult::TransportDown;
            break;
        }
        // Nothing may move while a handler holds its message, so room for the
        // handler's own nested reads is made now: once the handled bytes outweigh
        // what a move would shift, or outweigh the free space (a full buffer of
        // handled messages would otherwise look like one that can never complete
        // a message). Either way every byte is moved a bounded number of times.
        const uint32_t handled = pos - base;
        if (handled && (handled >= m_nRxCount - pos || handled > QVSERVER_RX_BUFFER - m_nRxCount)) {
            RemoveBytes(base, handled);
            pos = base;
        }
        m_dwLastMessage = GetTick();
        if (!DispatchInPlace(pos, size)) return PollResult::Serviced;
        pos += size;
        result = PollResult::Serviced;
    }
    RemoveBytes(base, pos - base);
    m_nDispatchOffset = base;
    return result;
}

bool CQVServer::Pump(uint16_t id)
{
    if (!IsConnected()) return false;
    for (int i = 0; i < m_nDeferred; i++) {
        if (m_apDeferred[i]->GetId() == id) {
            DispatchPutAside(i);
            return true;
        }
    }
    if (ReadIntoBuffer(PUMP_WAIT_MS) == ReadResult::Gone) return false;
    return DispatchFirstFor(id);
}

// Dispatches the first complete message for id behind those already under
// dispatch. Messages for other endpoints before it are put aside and their bytes
// removed in one move, for the same reason as in DispatchBuffered.
bool CQVServer::DispatchFirstFor(uint16_t id)
{
    const uint32_t offset = m_nDispatchOffset;
    uint32_t skipped = 0;
    for (;;) {
        const uint32_t pos = offset + skipped;
        uint32_t size;
        bool tooBig;
        if (!MessageAt(pos, &size, &tooBig)) {
            RemoveBytes(offset, skipped);
            return false;
        }
        m_dwLastMessage = GetTick();
        if (GetLE16(m_pRxBuffer + pos) != id) {
            PutAside(m_pRxBuffer + pos);
            skipped += size;
            continue;
        }
        RemoveBytes(offset, skipped);
        if (!DispatchInPlace(offset, size)) return true;
        m_nDispatchOffset = offset;
        RemoveBytes(offset, size);
        return true;
    }
}

bool CQVServer::Send(CQVMSG* msg)
{
    if (!msg || !m_pConnection) return false;
    uint32_t size = msg->GetWireSize();
    const uint8_t* wire = msg->GetWireData();
    return m_pConnection->Send(wire, (int)size);
}

void CQVServer::ResetSession()
{
    CloseTransport();
    ResetForConnection();
    m_bConnectedReported = false;
    if (m_nSinks == 1 && m_apSinks[0] == this) m_nNextId = 0;
}

void CQVServer::ResetForConnection()
{
    // Bytes and put-aside messages of an earlier connection mean nothing on a new one.
    m_nRxCount = 0;
    m_nDispatchOffset = 0;
    for (int i = 0; i < m_nDeferred; i++)
        delete m_apDeferred[i];
    m_nDeferred = 0;
    m_dwLastMessage = m_dwLastData = GetTick();
}

LoginResult CQVServer::ConnectDirect(const QVSockAddr& address, CAttemptObserver* observer,
                                     ConnectResult* connect)
{
    ResetForConnection();
    ConnectResult c = m_pConnection->ConnectDirect(address, 0, observer);
    if (connect) *connect = c;
    if (c != ConnectResult::Ok)
        return c == ConnectResult::Cancelled ? LoginResult::Cancelled : LoginResult::NoResponse;
    LoginResult r = Login(observer);
    if (r != LoginResult::Ok) m_pConnection->Close();
    return r;
}

static constexpr EnumText<LoginResult> kLoginTexts[] = {
    {LoginResult::Ok, "Login OK"},
    {LoginResult::NoResponse, "No Response From Server"},
    {LoginResult::PasswordRejected, "Password Rejected"},
    {LoginResult::BadMode, "Unknown client kind"},
    {LoginResult::Cancelled, "Cancelled"},
};
static_assert(EveryValueOnce(kLoginTexts, LoginResult::Count), "every login result has its text");

const char* LoginResultText(LoginResult result)
{
    return TextOf(kLoginTexts, result, "Password Rejected");
}

static LoginResult Refused(CAttemptObserver* observer, LoginResult result)
{
    if (result != LoginResult::Cancelled && result != LoginResult::BadMode)
        AttemptStatus(observer, LoginResultText(result));
    return result;
}

LoginResult CQVServer::Login(CAttemptObserver* observer)
{
    ResetForConnection();
    // Such a password has no key, so no response could be computed for any
    // challenge: fail before anything goes on the wire.
    if (m_strPassword.size() > MAX_PASSWORD_BYTES) return Refused(observer, LoginResult::PasswordRejected);

    AttemptStatus(observer, "Get Challenge");
    CQVMSG challengeRequest(0, MSG_GET_CHALLENGE, 0);
    CQVQuery challengeQuery(this, observer);
    challengeQuery.SetTimeout(CHALLENGE_TIMEOUT_MS);
    CQVMSG* answer = nullptr;
    if (!challengeQuery.Ask(&answer, &challengeRequest))
        return Refused(observer, challengeQuery.GetResult() == QueryResult::Cancelled
                                     ? LoginResult::Cancelled
                                     : LoginResult::NoResponse);
    std::string challenge;
    answer->ReadString(&challenge);
    AttemptStatus(observer, "Challenge OK");

    std::vector<uint8_t> key = PadTo16(m_strPassword, 0);
    std::vector<uint8_t> input = PadTo16(challenge, 0);
    uint8_t response[16];
    CQVCode cipher;
    if (!cipher.MakeKey(key.data(), (int)key.size()) || !cipher.EncryptBlock(input.data(), response))
        return Refused(observer, LoginResult::PasswordRejected);
    if (m_nMode < 0 || m_nMode >= QV_MODE_COUNT) return Refused(observer, LoginResult::BadMode);
    const ClientKind& kind = g_ClientKinds[m_nMode];

    CQVMSG login(0, MSG_LOGIN, 256);
    bool built = login.WriteDWord(CLIENT_REVISION) && login.WriteDWord(kind.typeNumber) &&
                 login.WriteString(StrPrintf("%s %s", kind.name, QV_VERSION_DISPLAY)) &&
                 login.WriteDWord(16) && login.WriteBlock16(response) && login.WriteDWord(2) &&
                 login.WriteString(m_strHardwareAddress) && login.WriteString(m_strPlatformA) &&
                 login.WriteString(m_strPlatformB) && login.WriteString(m_strComputerName);
    if (!built) return Refused(observer, LoginResult::PasswordRejected);
    CQVQuery loginQuery(this, observer);
    loginQuery.SetTimeout(LOGIN_TIMEOUT_MS);
    if (!loginQuery.Ask(&answer, &login))
        return Refused(observer, loginQuery.GetResult() == QueryResult::Cancelled
                                     ? LoginResult::Cancelled
                                     : LoginResult::PasswordRejected);
    AttemptStatus(observer, "Login OK");

    // The answer comes back to id 0 and is consumed by the session itself.
    CQVMSG version(0, MSG_GET_VERSION, 0);
    Send(&version);
    return LoginResult::Ok;
}

// ---------------------------------------------------------------------------
// CQVQuery

CQVQuery::CQVQuery(CQVServer* session, CAttemptObserver* observer)
    : CSocketSink(session), m_dwTimeout(30000), m_pReply(nullptr), m_bReplyOwned(false), m_bWaiting(false),
      m_nExpectedCode(0), m_bSent(false), m_pObserver(observer), m_Result(QueryResult::Pending)
{
}

CQVQuery::~CQVQuery()
{
    if (m_pSession) m_pSession->Unregister(this);
    DropReply();
}

void CQVQuery::DropReply()
{
    if (m_bReplyOwned) delete m_pReply;
    m_pReply = nullptr;
    m_bReplyOwned = false;
}

bool CQVQuery::Ask(CQVMSG** reply, CQVMSG* question)
{
    DropReply();
    if (!Send(question)) return false;
    return Wait(reply);
}

bool CQVQuery::Send(CQVMSG* question)
{
    m_Result = QueryResult::NotSent;
    if (!m_pSession || !question || !m_pSession->IsConnected()) return false;
    // An answer to an earlier question would otherwise be handed out as this one's.
    DropReply();
    m_pSession->Register(this); // a full table still sends; the wait then times out
    m_bWaiting = true;
    question->SetId(m_nId);
    if (!m_pSession->Send(question)) {
        m_pSession->Unregister(this);
        m_bWaiting = false;
        return false;
    }
    m_nExpectedCode = CQVMSG::ReplyCode(question->GetCode());
    m_bSent = true;
    m_Result = QueryResult::Pending;
    return true;
}

bool CQVQuery::HandOut(CQVMSG** reply)
{
    if (!m_pReply || m_pReply->GetCode() != m_nExpectedCode) {
        m_Result = QueryResult::WrongAnswer;
        return false;
    }
    m_pReply->Rewind();
    if (reply) *reply = m_pReply;
    m_Result = QueryResult::Answered;
    return true;
}

bool CQVQuery::Wait(CQVMSG** reply)
{
    if (!m_bSent || !m_pSession) {
        m_Result = QueryResult::NotSent;
        return false;
    }
    const uint32_t start = GetTick();
    QueryResult failure = QueryResult::TimedOut;
    for (;;) {
        if (!m_bWaiting) {
            m_pSession->Unregister(this);
            return HandOut(reply);
        }
        if (TickSince(start) >= m_dwTimeout) break;
        // Each Pump waits at most PUMP_WAIT_MS, well inside ATTEMPT_ASK_MS.
        if (!AttemptKeepWaiting(m_pObserver)) {
            failure = QueryResult::Cancelled;
            break;
        }
        m_pSession->Pump(m_nId);
        if (m_bWaiting && !m_pSession->IsConnected()) {
            failure = QueryResult::Lost;
            break;
        }
    }
    m_pSession->Unregister(this);
    m_bWaiting = false;
    m_Result = failure;
    return false;
}

void CQVQuery::OnMessage(CQVMSG* msg)
{
    if (msg->GetId() == MSG_ID_UNSOLICITED) return;
    DropReply();
    m_pReply = msg->Clone();
    m_bReplyOwned = m_pReply != nullptr;
    m_bWaiting = false;
    if (m_pSession) m_pSession->Unregister(this);
}
