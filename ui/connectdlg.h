// The progress window of one attempt (connecting and starting a program, or
// fetching and setting a controller's IP configuration) and the connection log.
#pragma once
#include <string>

#include "../protocol/xconnection.h"
#include "../util/qvoblist.h"
#include "../util/qvtime.h"
#include "framework.h"

// The main window's status lines during an attempt; the base ignores them.
class CStatusSink
{
public:
    virtual void SetStatus(std::string text);
    // false once the user has cancelled; otherwise serves the window a little.
    virtual bool KeepWaiting();
    virtual ~CStatusSink() {}
};

// The log line kept for a status line: "hh:mm:ss text".
std::string FormatConnectLogLine(const QVSystemTime& time, const std::string& text);
// The log's first line and the empty line after it.
std::string FormatConnectLogHeader(const QVSystemTime& time, const std::string& title);

class CConnectDlg : public CDialog, public CStatusSink, public CConnectionListener
{
public:
    explicit CConnectDlg(CWnd* parent = nullptr);
    ~CConnectDlg() override;

    void SetStatus(std::string text) override;
    bool KeepWaiting() override;
    void OnStatus(const char* text) override;

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
