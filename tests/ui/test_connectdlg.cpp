#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "ui/connectdlg.h"
#include "ui/resource.h"
#include "ui_support.h"

namespace
{

// A progress window on a clock the test sets.
class CClockedConnectDlg : public CConnectDlg
{
  public:
    CClockedConnectDlg() { SetClock(2024, 3, 5, 7, 3, 9); }
    void SetClock(int year, int month, int day, int hour, int minute, int second)
    {
        m_Time = QVSystemTime{(uint16_t)year,   (uint16_t)month,  2, (uint16_t)day, (uint16_t)hour,
                              (uint16_t)minute, (uint16_t)second, 0};
    }

  protected:
    QVSystemTime CurrentTime() const override { return m_Time; }

  private:
    QVSystemTime m_Time;
};

std::vector<std::string> VisibleLines(CConnectDlg& dlg)
{
    std::vector<std::string> lines;
    HWND list = dlg.GetDlgItem(IDC_STATUS_LIST);
    int count = (int)::SendMessageA(list, LB_GETCOUNT, 0, 0);
    for (int i = 0; i < count; ++i) {
        char text[512] = {};
        ::SendMessageA(list, LB_GETTEXT, i, (LPARAM)text);
        lines.push_back(text);
    }
    return lines;
}

std::vector<std::string> LogLines(const CConnectDlg& dlg)
{
    std::vector<std::string> lines;
    POSITION pos = dlg.GetLogLines().GetHeadPosition();
    while (pos)
        lines.push_back(*static_cast<std::string*>(dlg.GetLogLines().GetNext(pos)));
    return lines;
}

class ConnectDlgTest : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_TRUE(m_Dlg.Create(IDD_CONNECT, nullptr)); }
    CClockedConnectDlg m_Dlg;
};

TEST_F(ConnectDlgTest, WindowIsMadeHiddenWithItsTitleAndAHundredStepBar)
{
    EXPECT_FALSE(::IsWindowVisible(m_Dlg.m_hWnd));
    EXPECT_EQ("Connecting To Remote System...", m_Dlg.GetWindowText());
    PBRANGE range = {};
    ::SendDlgItemMessageA(m_Dlg.m_hWnd, IDC_PROGRESS, PBM_GETRANGE, FALSE, (LPARAM)&range);
    EXPECT_EQ(0, range.iLow);
    EXPECT_EQ(100, range.iHigh);
    m_Dlg.SetProgress(42);
    EXPECT_EQ(42, (int)::SendDlgItemMessageA(m_Dlg.m_hWnd, IDC_PROGRESS, PBM_GETPOS, 0, 0));
    EXPECT_EQ("Cancel", m_Dlg.GetDlgItemText(IDC_CONNECT_CANCEL));
}

TEST_F(ConnectDlgTest, StatusLinesAreShownSelectedAndKeptWithTheirTime)
{
    m_Dlg.SetStatus("Looking up Zizu Office");
    m_Dlg.SetClock(2024, 3, 5, 23, 59, 58);
    m_Dlg.OnStatus("Connected");
    m_Dlg.OnStatus(nullptr);
    EXPECT_EQ((std::vector<std::string>{"Looking up Zizu Office", "Connected", ""}), VisibleLines(m_Dlg));
    EXPECT_EQ(2, (int)::SendDlgItemMessageA(m_Dlg.m_hWnd, IDC_STATUS_LIST, LB_GETCURSEL, 0, 0));
    EXPECT_EQ(
        (std::vector<std::string>{"07:03:09 Looking up Zizu Office", "23:59:58 Connected", "23:59:58 "}),
        LogLines(m_Dlg));
}

TEST_F(ConnectDlgTest, ReplaceLastLineChangesOnlyTheVisibleLine)
{
    // On an empty list there is nothing to delete: the line is added.
    m_Dlg.ReplaceLastLine("Downloading File 0% Complete");
    EXPECT_EQ((std::vector<std::string>{"Downloading File 0% Complete"}), VisibleLines(m_Dlg));

    m_Dlg.SetStatus("Version 7.1.1.0");
    for (int percent = 1; percent <= 3; ++percent)
        m_Dlg.ReplaceLastLine("Downloading File " + std::to_string(percent) + "% Complete");
    EXPECT_EQ((std::vector<std::string>{"Downloading File 0% Complete", "Downloading File 3% Complete"}),
              VisibleLines(m_Dlg));
    EXPECT_EQ((std::vector<std::string>{"07:03:09 Downloading File 0% Complete", "07:03:09 Version 7.1.1.0",
                                        "07:03:09 Downloading File 1% Complete",
                                        "07:03:09 Downloading File 2% Complete",
                                        "07:03:09 Downloading File 3% Complete"}),
              LogLines(m_Dlg));
}

const UINT WM_PROBE = WM_APP + 17;

TEST_F(ConnectDlgTest, KeepWaitingServesWaitingMessagesUntilCancelThenLeavesTheQueueAlone)
{
    EXPECT_FALSE(m_Dlg.IsCancelled());
    ::PostMessageA(m_Dlg.m_hWnd, WM_PROBE, 1, 0);
    EXPECT_TRUE(m_Dlg.KeepWaiting());
    MSG msg;
    EXPECT_FALSE(::PeekMessageA(&msg, m_Dlg.m_hWnd, WM_PROBE, WM_PROBE, PM_NOREMOVE))
        << "what was waiting has been served";
    ::PostMessageA(m_Dlg.m_hWnd, WM_PROBE, 2, 0);

    // The Cancel button only raises the flag; the window stays.
    ::SendMessageA(m_Dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_CONNECT_CANCEL, BN_CLICKED),
                   (LPARAM)m_Dlg.GetDlgItem(IDC_CONNECT_CANCEL));
    EXPECT_TRUE(m_Dlg.IsCancelled());
    EXPECT_TRUE(::IsWindow(m_Dlg.m_hWnd));
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(m_Dlg.KeepWaiting());
    ASSERT_TRUE(::PeekMessageA(&msg, m_Dlg.m_hWnd, WM_PROBE, WM_PROBE, PM_REMOVE));
    EXPECT_EQ(2u, msg.wParam) << "after Cancel the queue is not touched";
}

TEST_F(ConnectDlgTest, EscapeCancelsAndEnterDoesNotCloseTheWindow)
{
    ::SendMessageA(m_Dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(::IsWindow(m_Dlg.m_hWnd));
    EXPECT_FALSE(m_Dlg.IsCancelled());

    m_Dlg.ShowWindow(SW_SHOWNORMAL);
    HWND list = m_Dlg.GetDlgItem(IDC_STATUS_LIST);
    ::PostMessageA(list, WM_KEYDOWN, VK_ESCAPE, 0);
    for (int i = 0; i < 5 && m_Dlg.KeepWaiting(); ++i) {
    }
    EXPECT_TRUE(m_Dlg.IsCancelled());
    EXPECT_TRUE(::IsWindow(m_Dlg.m_hWnd));
}

TEST_F(ConnectDlgTest, LogHoldsHeaderEmptyLineAndEveryStatusLine)
{
    m_Dlg.SetStatus("Probing Servers");
    m_Dlg.SetClock(2024, 3, 5, 7, 3, 10);
    m_Dlg.ReplaceLastLine("Lookup Failed");
    m_Dlg.SetClock(2024, 12, 31, 18, 4, 5);
    std::string path = TempFilePath("connectlog");
    m_Dlg.WriteLog(path, "Zizu Office");
    EXPECT_EQ("12/31/2024 18:04:05 OSKA Connect (Zizu Office)\r\n"
              "\r\n"
              "07:03:09 Probing Servers\r\n"
              "07:03:10 Lookup Failed\r\n",
              ReadWholeFile(path));
    ::DeleteFileA(path.c_str());
}

TEST(ConnectLog, AttemptWithoutLinesGivesHeaderAndEmptyLineAndANewAttemptOverwrites)
{
    std::string path = TempFilePath("connectlog");
    {
        CClockedConnectDlg first;
        for (int i = 0; i < 50; ++i)
            first.SetStatus("a rather long status line number " + std::to_string(i));
        first.WriteLog(path, "First");
        EXPECT_GT(ReadWholeFile(path).size(), 1000u);
    }
    {
        CClockedConnectDlg second;
        second.SetClock(2025, 1, 2, 0, 0, 0);
        second.WriteLog(path, "");
    }
    EXPECT_EQ("01/02/2025 00:00:00 OSKA Connect ()\r\n\r\n", ReadWholeFile(path));
    ::DeleteFileA(path.c_str());
}

TEST(ConnectLog, UnwritablePathIsIgnored)
{
    CClockedConnectDlg dlg;
    dlg.SetStatus("line");
    std::string path = TempFilePath("no_such_folder") + "\\sub\\OSKA_Connect_Log.txt";
    dlg.WriteLog(path, "x");
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesA(path.c_str()));
}

TEST(ConnectLog, LineFormatsPadWithZeros)
{
    QVSystemTime t = {987, 1, 0, 2, 3, 4, 5, 0};
    EXPECT_EQ("03:04:05 x", FormatConnectLogLine(t, "x"));
    EXPECT_EQ("01/02/ 987 03:04:05 OSKA Connect (Home)\r\n\r\n", FormatConnectLogHeader(t, "Home"));
}

TEST(ConnectDlgLifecycle, EndDialogDestroysTheModelessWindow)
{
    CConnectDlg dlg;
    ASSERT_TRUE(dlg.Create(IDD_CONNECT, nullptr));
    HWND hWnd = dlg.m_hWnd;
    dlg.EndDialog(0);
    EXPECT_FALSE(::IsWindow(hWnd));
    EXPECT_EQ(nullptr, dlg.m_hWnd);
    // Lines may still arrive after the window is gone; they are only kept.
    dlg.SetStatus("late");
    EXPECT_EQ(1, dlg.GetLogLines().GetCount());
}

TEST_F(ConnectDlgTest, DownloadProgressReplacesTheLastLineWithoutOverflow)
{
    m_Dlg.SetStatus("Downloading: x");
    m_Dlg.OnProgress(0, 0); // unknown total: nothing shown
    m_Dlg.OnProgress(3000000000u, 4000000000u);
    HWND list = m_Dlg.GetDlgItem(IDC_STATUS_LIST);
    ASSERT_EQ(1, (int)::SendMessageA(list, LB_GETCOUNT, 0, 0));
    char line[128] = {};
    ::SendMessageA(list, LB_GETTEXT, 0, (LPARAM)line);
    EXPECT_STREQ("Downloading File 75% Complete", line);
    EXPECT_EQ(75, (int)::SendDlgItemMessageA(m_Dlg.m_hWnd, IDC_PROGRESS, WM_USER + 8, 0, 0));
    EXPECT_EQ(2, m_Dlg.GetLogLines().GetCount()); // the log keeps both lines
}

} // namespace
