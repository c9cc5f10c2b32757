// Fetches the viewer or configurator executable over the open session.
#pragma once
#include <cstdint>
#include <string>

#include "qvserver.h"

class CDownloadTracker
{
public:
    virtual ~CDownloadTracker() {}
    virtual void OnProgress(uint32_t done, uint32_t total) { (void)done, (void)total; }
    virtual void OnError(const std::string& message) { (void)message; }
    virtual bool IsCancelled() { return false; }
};

class CFileDownloader : public CSocketSink
{
public:
    enum { StateRunning = 0, StateFailed = 1, StateWritten = 2 };
    CFileDownloader(CDownloadTracker* tracker, const std::string& path);
    ~CFileDownloader() override;
    bool Run(CQVMSG* request);
    void OnMessage(CQVMSG* msg) override;
    int GetState() const { return m_nState; }

private:
    bool WriteFile(const uint8_t* data, uint32_t length);
    void Fail(const char* text);

    int m_nState;
    uint8_t* m_pData;
    uint32_t m_nTotal;
    uint32_t m_nReceived;
    std::string m_strPath;
    CDownloadTracker* m_pTracker;
    uint32_t m_dwLastActivity;
};
