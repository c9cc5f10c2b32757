#include "downloader.h"

#include <new>

#include "../util/enumtext.h"
#include "../util/qvfile.h"
#include "../util/qvtick.h"

static const uint32_t DOWNLOAD_INACTIVITY_MS = 45000;
// No program the controller serves comes near this; a larger announced total is a
// damaged reply, not a reason to reserve that much memory.
static const uint32_t DOWNLOAD_MAX_TOTAL = 256u * 1024u * 1024u;

static const char TEXT_UNEXPECTED[] = "Unexpected message from system controller";
static const char TEXT_CANNOT_OPEN[] = "ERROR: Cannot open file for writing";
static const char TEXT_CANNOT_WRITE[] = "ERROR: Cannot write file";
static const char TEXT_TOO_LARGE[] = "ERROR: File from system controller is too large";

static constexpr EnumText<DownloadResult> kDownloadTexts[] = {
    {DownloadResult::Written, "Download complete"},
    {DownloadResult::NotSent, "The download request could not be sent"},
    {DownloadResult::BadReply, TEXT_UNEXPECTED},
    {DownloadResult::FileError, TEXT_CANNOT_WRITE},
    {DownloadResult::Stalled, "The controller stopped sending the file"},
    {DownloadResult::Lost, "The connection was lost during the download"},
    {DownloadResult::Cancelled, "Cancelled"},
};
static_assert(EveryValueOnce(kDownloadTexts, DownloadResult::Count), "every download result has its text");

const char* DownloadResultText(DownloadResult result)
{
    return TextOf(kDownloadTexts, result, TEXT_UNEXPECTED);
}

CFileDownloader::CFileDownloader(CQVServer* session, CAttemptObserver* observer, const std::string& path)
    : CSocketSink(session), m_nState(StateRunning), m_pData(nullptr), m_nTotal(0), m_nReceived(0),
      m_strPath(path), m_pObserver(observer), m_dwLastActivity(GetTick()), m_Failure(DownloadResult::BadReply)
{
    if (m_pSession) m_pSession->Register(this);
}

CFileDownloader::~CFileDownloader()
{
    if (m_pSession) m_pSession->Unregister(this);
    delete[] m_pData;
}

DownloadResult CFileDownloader::Run(CQVMSG* request)
{
    if (!m_pSession || !request) return DownloadResult::NotSent;
    // Replies come back to the request's id; make sure that is ours.
    request->SetId(m_nId);
    if (!m_pSession->Send(request)) return DownloadResult::NotSent;
    m_dwLastActivity = GetTick();
    while (m_nState == StateRunning) {
        // Each Poll waits at most 100 ms: the observer is asked often enough.
        if (!AttemptKeepWaiting(m_pObserver)) return DownloadResult::Cancelled;
        if (TickSince(m_dwLastActivity) > DOWNLOAD_INACTIVITY_MS) return DownloadResult::Stalled;
        if (m_pSession->Poll() == PollResult::TransportDown) {
            m_pSession->Unregister(this);
            if (m_nState == StateRunning) return DownloadResult::Lost;
        }
    }
    return m_nState == StateWritten ? DownloadResult::Written : m_Failure;
}

void CFileDownloader::Fail(const char* text, DownloadResult why)
{
    if (text) AttemptStatus(m_pObserver, text);
    m_Failure = why;
    m_nState = StateFailed;
    delete[] m_pData;
    m_pData = nullptr;
}

bool CFileDownloader::WriteFile(const uint8_t* data, uint32_t length)
{
    // The file appears on disk only complete: it is written in one go once every
    // byte is here, and removed again if writing stops part way.
    CQVFile file(m_strPath);
    if (!file.Open(CQVFile::OpenCreate, 0)) {
        Fail(TEXT_CANNOT_OPEN, DownloadResult::FileError);
        return false;
    }
    bool ok = (length == 0 || file.Write(data, length)) && file.Flush();
    file.Close();
    if (!ok) {
        QVDeleteFile(m_strPath);
        Fail(TEXT_CANNOT_WRITE, DownloadResult::FileError);
        return false;
    }
    m_nState = StateWritten;
    delete[] m_pData;
    m_pData = nullptr;
    return true;
}

void CFileDownloader::OnMessage(CQVMSG* msg)
{
    if (msg->GetId() != m_nId) return;
    // A decided download ignores whatever else arrives for it.
    if (m_nState != StateRunning) return;

    switch (msg->GetCode()) {
    case MSG_VIEWER_EXE_FILE:
    case MSG_VIEWER_EXE_FILE2:
    case MSG_CONFIG_EXE_FILE: {
        uint32_t length;
        if (!msg->ReadDWord(&length) || length > msg->Remaining()) {
            Fail(TEXT_UNEXPECTED, DownloadResult::BadReply);
            return;
        }
        WriteFile(msg->GetBody() + msg->GetCursor(), length);
        return;
    }
    case MSG_FILE_PIECE:
    case MSG_FILE_PIECE2: {
        m_dwLastActivity = GetTick();
        uint32_t total, length;
        if (!msg->ReadDWord(&total) || !msg->ReadDWord(&length)) {
            Fail(TEXT_UNEXPECTED, DownloadResult::BadReply);
            return;
        }
        if (!m_pData) {
            if (total > DOWNLOAD_MAX_TOTAL) {
                Fail(TEXT_TOO_LARGE, DownloadResult::BadReply);
                return;
            }
            m_pData = new (std::nothrow) uint8_t[total ? total : 1];
            if (!m_pData) {
                Fail(nullptr, DownloadResult::FileError);
                return;
            }
            m_nTotal = total;
        }
        // Later pieces' totals are not compared with the first; what matters is
        // that no piece runs past the buffer or past its own message.
        if (length > msg->Remaining() || length > m_nTotal - m_nReceived) {
            Fail(TEXT_UNEXPECTED, DownloadResult::BadReply);
            return;
        }
        if (m_pObserver) m_pObserver->OnProgress(m_nReceived, m_nTotal);
        if (length && !msg->ReadBytes(m_pData + m_nReceived, length)) {
            Fail(TEXT_UNEXPECTED, DownloadResult::BadReply);
            return;
        }
        m_nReceived += length;
        if (m_nReceived >= m_nTotal) WriteFile(m_pData, m_nTotal);
        return;
    }
    default:
        Fail(TEXT_UNEXPECTED, DownloadResult::BadReply);
        return;
    }
}
