// The progress window of one attempt (connecting and starting a program, or
// fetching and setting a controller's IP configuration) and the connection log.
#pragma once
#include <string>

#include "../protocol/attempt.h"
#include "../util/qvoblist.h"
#include "../util/qvtime.h"
#include "framework.h"

// The log line kept for a status line: "hh:mm:ss text".
std::string FormatConnectLogLine(const QVSystemTime& time, const std::string& text);
// The log's first line and the empty line after it.
std::string FormatConnectLogHeader(const QVSystemTime& time, const std::string& title);

// The observer of an attempt without a progress window (the local roads): no
// lines to show and no Cancel, but the windows keep answering while it waits.
class CWindowPump : public CAttemptObserver
{
  public:
    void OnStatus(const char*) override {}
    bool KeepWaiting() override;
};

// The observer of an attempt on screen: status lines, the download bar, and the
// Cancel button that every wait of the attempt asks about.
class CConnectDlg : public CDialog, public CAttemptObserver
{
  public:
    explicit CConnectDlg(CWnd* parent = nullptr);
    ~CConnectDlg() override;

    void SetStatus(const std::string& text);
    // false once the user has cancelled; otherwise lets the pending window
    // messages through (so the windows keep answering) and answers true.
    bool KeepWaiting() override;
    void OnStatus(const char* text) override;
    // "Downloading File n% Complete" in place of the last line, and the bar.
    void OnProgress(uint32_t done, uint32_t total) override;

    // Replaces the visible last line; the log keeps both lines.
    void ReplaceLastLine(const std::string& text);
    void SetProgress(int percent);
    bool IsCancelled() const { return m_bCancelled != 0; }
    // Best effort: a file that cannot be written is not reported.
    void WriteLog(const std::string& path, const std::string& title);

    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    BOOL OnCommand(UINT id, UINT code, HWND hwndCtl) override;

    // The kept log lines, oldest first (heap strings owned by the window).
    const CQVObList& GetLogLines() const { return m_LogLines; }

  protected:
    // The local time of day; tests substitute a fixed clock.
    virtual QVSystemTime CurrentTime() const;

  private:
    int32_t m_bCancelled;
    CQVObList m_LogLines;
};
