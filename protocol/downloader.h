// Fetches the viewer or configurator executable over the open session.
#pragma once
#include <cstdint>
#include <string>

#include "qvserver.h"

// How a download ended.
enum class DownloadResult {
    Written,   // the whole file is on disk
    NotSent,   // no session, or the request could not be sent
    BadReply,  // the controller answered with something else, or too large a file
    FileError, // the file could not be written (nothing is left on disk)
    Stalled,   // no piece for DOWNLOAD_INACTIVITY_MS
    Lost,      // the connection went down
    Cancelled, // the observer said no
    Count
};
const char* DownloadResultText(DownloadResult result);

// Progress goes to the observer's OnProgress, failures as status lines; the
// wait asks KeepWaiting between polls (at least every ATTEMPT_ASK_MS).
class CFileDownloader : public CSocketSink
{
  public:
    enum State { StateRunning = 0, StateFailed = 1, StateWritten = 2 };
    CFileDownloader(CQVServer* session, CAttemptObserver* observer, const std::string& path);
    ~CFileDownloader() override;
    DownloadResult Run(CQVMSG* request);
    void OnMessage(CQVMSG* msg) override;
    State GetState() const { return m_nState; }

  private:
    bool WriteFile(const uint8_t* data, uint32_t length);
    void Fail(const char* text, DownloadResult why);

    State m_nState;
    uint8_t* m_pData;
    uint32_t m_nTotal;
    uint32_t m_nReceived;
    std::string m_strPath;
    CAttemptObserver* m_pObserver;
    uint32_t m_dwLastActivity;
    DownloadResult m_Failure;
};
