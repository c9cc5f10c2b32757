// Starting the viewer against the controller simulator on 127.0.0.1, with the
// controller typed as an address: what the user sees, what reaches the controller,
// what lands on disk, and what the started program is given.
#include "test_voltarodlg_fixture.h"

#include <cstring>

#include "app/loginfile.h"
#include "app/versions.h"
#include "protocol/qvserver.h"
#include "remote/loopback.h"
#include "ui/connectdlg.h"
#include "ui/resource.h"
#include "util/qvtick.h"

namespace
{

const char OLD_VERSION_BOX[] = "ERROR: Cannot continue, the host system is running version 4.0.487.9\n"
                               "Please upgrade to 4.0.488.0 or higher and try again.";

std::string Program5000(int factor, int offset)
{
    std::string bytes;
    for (int i = 0; i < 5000; ++i)
        bytes.push_back((char)(uint8_t)(i * factor + offset));
    return bytes;
}

bool SimSawClose(CSimController* sim)
{
    return sim->WaitUntil([](const SimStats& s) { return s.closes >= 1 && s.openConnections == 0; }, 5000);
}

} // namespace

TEST_F(MainWndTest, RefusesControllerOlderThanMinimumWithTheExactBox)
{
    StartSim("4.0.487.9", "pw");
    CVOLTARODlg* dlg = OpenWindow(SimName(), "pw");

    EXPECT_FALSE(dlg->StartViewer(StartMode::Viewer));

    ASSERT_EQ(g_Boxes.size(), 1u);
    EXPECT_EQ(g_Boxes[0].text, OLD_VERSION_BOX);
    EXPECT_EQ(g_Boxes[0].flags & (MB_ICONMASK | MB_TYPEMASK), (UINT)MB_OK);
    const SimStats stats = m_pSim->GetStats();
    EXPECT_EQ(stats.loginsOk, 1u);
    EXPECT_GE(stats.versionRequests, 1u);
    EXPECT_EQ(stats.downloadRequests, 0u);
    EXPECT_TRUE(g_Starter.commandLines.empty());
    EXPECT_FALSE(FileExistsA(VersionPath("4_0_487_9", "BRIGHTLEAF.EXE")));
    EXPECT_TRUE(SimSawClose(m_pSim));
    EXPECT_EQ(dlg->m_bBusy, 0u);
    EXPECT_EQ(dlg->m_ProcessInfo.hProcess, nullptr);
}

TEST_F(MainWndTest, WrongPasswordShowsConnectionFailedAndStillSavesTheLogin)
{
    StartSim("7.1.1.0", "right");
    CVOLTARODlg* dlg = OpenWindow(SimName(), "wrong");

    EXPECT_FALSE(dlg->StartViewer(StartMode::Viewer));

    ASSERT_EQ(g_Boxes.size(), 1u);
    EXPECT_EQ(g_Boxes[0].text, "Connection Failed\nPassword Rejected");
    EXPECT_EQ(g_Boxes[0].flags & MB_ICONMASK, (UINT)MB_ICONWARNING);
    EXPECT_NE(g_Boxes[0].flags & MB_TOPMOST, 0u);
    EXPECT_EQ(m_pSim->GetStats().loginsRefused, 1u);
    EXPECT_EQ(m_pSim->GetStats().versionRequests, 0u);
    EXPECT_TRUE(g_Starter.commandLines.empty());

    // The login is saved before connecting: the typed address and password come
    // back next time, and the direct address is remembered.
    LoginData saved;
    ASSERT_TRUE(ReadLoginFile(m_strDataFolder + "\\LOGIN.DAT", saved));
    EXPECT_EQ(saved.systemName, SimName());
    EXPECT_EQ(saved.password, "wrong");
    EXPECT_EQ(saved.lastAddress, LoopbackAddress());
}

TEST_F(MainWndTest, EmptyNameDoesNothing)
{
    StartSim("7.1.1.0", "pw");
    CVOLTARODlg* dlg = OpenWindow("", "");
    EXPECT_FALSE(dlg->StartViewer(StartMode::Viewer));
    EXPECT_TRUE(g_Boxes.empty());
    EXPECT_EQ(m_pSim->GetStats().connections, 0u);
    EXPECT_EQ(dlg->m_bBusy, 0u);
}

TEST_F(MainWndTest, DownloadsTheViewerIntoTheVersionFolderAndHandsOverThroughTheBridge)
{
    StartSim("7.1.1.0", "pw");
    m_pSim->SetPieceSize(1000);
    std::atomic<int> viewer(0);
    g_Starter.onStart = [&](const std::string& cmd) {
        const uint16_t port = (uint16_t)atoi(OptionValue(cmd, "/LOOPBACK:").c_str());
        m_Viewers.emplace_back(LoopbackViewer, port, &viewer);
    };
    CVOLTARODlg* dlg = OpenWindow(SimName(), "pw");

    ASSERT_TRUE(dlg->StartViewer(StartMode::Viewer));

    const std::string path = VersionPath("7_1_1_0", "BRIGHTLEAF.EXE");
    EXPECT_EQ(ReadFileBytes(path), Program5000(7, 1));
    EXPECT_EQ(m_pSim->GetStats().viewerRequests, 1u);
    ASSERT_EQ(g_Starter.commandLines.size(), 1u);
    ASSERT_NE(dlg->m_pLoopBack.get(), nullptr);
    // The loopback form: path, the size option of this screen, the bridge's port;
    // never the name or the password.
    const std::string expected = "\"" + path + "\" " + SizeOptionText(CVOLTARODlg::GetScreenSizeClass()) +
                                 " /LOOPBACK:" + std::to_string(dlg->m_pLoopBack->GetPort());
    EXPECT_EQ(g_Starter.commandLines[0], expected);
    EXPECT_EQ(g_Starter.commandLines[0].find("pw"), std::string::npos);
    EXPECT_EQ(dlg->m_pLoopBack->GetListenAddress().addr, LoopbackAddress());

    for (std::thread& t : m_Viewers)
        t.join();
    m_Viewers.clear();
    EXPECT_EQ(viewer.load(), 1) << "echo through the bridge";
    EXPECT_EQ(m_pSim->GetStats().echoes, 1u);
    EXPECT_FALSE(dlg->IsWindowVisible());
    EXPECT_EQ(dlg->m_bBusy, 0u);
    EXPECT_NE(dlg->m_ProcessInfo.hProcess, nullptr);
}

TEST_F(MainWndTest, ConfiguratorModeFetchesItsOwnProgram)
{
    StartSim("7.1", "pw");
    CVOLTARODlg* dlg = OpenWindow(SimName(), "pw");

    ASSERT_TRUE(dlg->StartViewer(StartMode::Configurator));

    // "7.1" reads as 7.1.1.1: at or above the bridge threshold.
    EXPECT_EQ(ReadFileBytes(VersionPath("7_1", "MOSSDESK.EXE")), Program5000(13, 5));
    EXPECT_FALSE(FileExistsA(VersionPath("7_1", "BRIGHTLEAF.EXE")));
    const SimStats stats = m_pSim->GetStats();
    EXPECT_EQ(stats.configRequests, 1u);
    EXPECT_EQ(stats.viewerRequests, 0u);
    EXPECT_EQ(stats.lastLogin.typeNumber, g_ClientKinds[1].typeNumber);
    ASSERT_EQ(g_Starter.commandLines.size(), 1u);
    EXPECT_NE(g_Starter.commandLines[0].find("/LOOPBACK:"), std::string::npos);
}

TEST_F(MainWndTest, ProgramAlreadyPresentIsUsedWithoutAskingTheController)
{
    StartSim("7.1.1.0", "pw");
    PutProgram("7_1_1_0", "BRIGHTLEAF.EXE", "our own copy");
    CVOLTARODlg* dlg = OpenWindow(SimName(), "pw");

    ASSERT_TRUE(dlg->StartViewer(StartMode::Viewer));

    EXPECT_EQ(m_pSim->GetStats().downloadRequests, 0u);
    EXPECT_EQ(ReadFileBytes(VersionPath("7_1_1_0", "BRIGHTLEAF.EXE")), "our own copy");
    EXPECT_EQ(g_Starter.commandLines.size(), 1u);
}

TEST_F(MainWndTest, ConnectionLostDuringDownloadLeavesNoFileAndStartsNothing)
{
    StartSim("7.1.1.0", "pw");
    m_pSim->SetPieceSize(1000);
    SimFaults faults;
    faults.closeAfterPieces = 2;
    m_pSim->SetFaults(faults);
    CVOLTARODlg* dlg = OpenWindow(SimName(), "pw");

    EXPECT_FALSE(dlg->StartViewer(StartMode::Viewer));

    EXPECT_FALSE(FileExistsA(VersionPath("7_1_1_0", "BRIGHTLEAF.EXE")));
    EXPECT_TRUE(g_Starter.commandLines.empty());
    EXPECT_EQ(dlg->m_pLoopBack.get(), nullptr);
    EXPECT_EQ(dlg->m_ProcessInfo.hProcess, nullptr);
    EXPECT_EQ(dlg->m_bBusy, 0u);
}

TEST_F(MainWndTest, OlderControllerGetsTheSocketThroughThePipe)
{
    // The lowest accepted version, below the bridge threshold: pipe form.
    StartSim("4.0.488.0", "secret");
    PutProgram("4_0_488_0", "BRIGHTLEAF.EXE", "viewer");
    std::atomic<int> viewer(0);
    g_Starter.onStart = [&](const std::string& cmd) {
        m_Viewers.emplace_back(PipeViewer, OptionValue(cmd, "/SOCKFILE:"), &viewer);
    };
    CVOLTARODlg* dlg = OpenWindow(SimName(), "secret");

    ASSERT_TRUE(dlg->StartViewer(StartMode::Viewer));
    for (std::thread& t : m_Viewers)
        t.join();
    m_Viewers.clear();

    EXPECT_TRUE(dlg->m_bRecordHandedOver);
    EXPECT_EQ(viewer.load(), 1) << "the passed socket reaches the controller";
    EXPECT_EQ(m_pSim->GetStats().echoes, 1u);
    EXPECT_EQ(dlg->m_pLoopBack.get(), nullptr);
    ASSERT_EQ(g_Starter.commandLines.size(), 1u);
    const std::string pipeName = PipeNameFor((uint32_t)(uintptr_t)dlg->m_hWnd);
    // No size option in this form: the field between the quotes and "/R" is empty.
    const std::string expected = "\"" + VersionPath("4_0_488_0", "BRIGHTLEAF.EXE") +
                                 "\"  /R /USER:" + SimName() + " /PASS:secret /SOCKFILE:" + pipeName;
    EXPECT_EQ(g_Starter.commandLines[0], expected);
    // The launcher keeps its own copy of the connection.
    EXPECT_TRUE(m_pSession->IsConnected());
}

TEST_F(MainWndTest, ProgramThatNeverOpensThePipeEndsTheAttemptInBoundedTime)
{
    StartSim("5.0.0.0", "pw");
    PutProgram("5_0_0_0", "BRIGHTLEAF.EXE", "viewer");
    CStartAttempt::s_dwPipeConnectMs = 400;
    CVOLTARODlg* dlg = OpenWindow(SimName(), "pw");

    const uint32_t start = GetTick();
    EXPECT_FALSE(dlg->StartViewer(StartMode::Viewer));
    EXPECT_LT(TickSince(start), 5000u);

    EXPECT_FALSE(dlg->m_bRecordHandedOver);
    EXPECT_EQ(dlg->m_LastOutcome, AttemptOutcome::HandOverFailed);
    // The local road has no window of lines: the reason comes in a box.
    ASSERT_EQ(g_Boxes.size(), 1u);
    EXPECT_EQ(g_Boxes[0].text, "ERROR: The program did not take the connection");
    EXPECT_EQ(g_Starter.commandLines.size(), 1u);
    EXPECT_EQ(dlg->m_ProcessInfo.hProcess, nullptr);
    EXPECT_EQ(dlg->m_bBusy, 0u);
    // (The record was made for this very process, which therefore holds a second
    // handle of the connection; only the launcher's own side can be checked.)
    EXPECT_FALSE(m_pSession->IsConnected());
    // The pipe is gone: a late viewer finds nothing to open.
    const std::string pipeName = PipeNameFor((uint32_t)(uintptr_t)dlg->m_hWnd);
    HANDLE late = ::CreateFileA(pipeName.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(late, INVALID_HANDLE_VALUE);
    if (late != INVALID_HANDLE_VALUE) ::CloseHandle(late);
}

TEST_F(MainWndTest, PasswordThatWouldBreakThePipeCommandLineStartsNothing)
{
    StartSim("5.0.0.0", "pa\"ss");
    PutProgram("5_0_0_0", "BRIGHTLEAF.EXE", "viewer");
    CVOLTARODlg* dlg = OpenWindow(SimName(), "pa\"ss");

    EXPECT_FALSE(dlg->StartViewer(StartMode::Viewer));

    EXPECT_EQ(m_pSim->GetStats().loginsOk, 1u);
    EXPECT_TRUE(g_Starter.commandLines.empty());
    EXPECT_TRUE(SimSawClose(m_pSim));
    ASSERT_EQ(g_Boxes.size(), 1u);
    EXPECT_EQ(g_Boxes[0].text.rfind("ERROR: Can't build the program's command line\n", 0), 0u)
        << g_Boxes[0].text;
}

TEST_F(MainWndTest, FailedStartIsLoggedWithThePasswordMasked)
{
    StartSim("5.0.0.0", "hunter2");
    PutProgram("5_0_0_0", "BRIGHTLEAF.EXE", "viewer");
    g_Starter.fail = true;
    g_Starter.error = 193;
    CVOLTARODlg* dlg = OpenWindow(SimName(), "hunter2");
    // A progress window of our own whose user presses Cancel as soon as the failure
    // is shown, so that the failure does not wait: the lines then reach the log.
    struct CancelOnFailure : CConnectDlg {
        using CConnectDlg::CConnectDlg;
        void OnStatus(const char* text) override
        {
            CConnectDlg::OnStatus(text);
            if (strstr(text, "Can't Start Executable")) OnCancel();
        }
    };
    CConnectDlg* progress = new CancelOnFailure(dlg);
    ASSERT_TRUE(progress->Create(IDD_CONNECT, dlg));
    dlg->m_pProgressDlg = progress;

    EXPECT_FALSE(dlg->StartViewer(StartMode::Viewer));

    EXPECT_EQ(dlg->m_pProgressDlg, nullptr);
    const std::string log = ReadFileBytes(m_strDataFolder + "\\OSKA_Connect_Log.txt");
    EXPECT_NE(log.find(" Getting Version Information\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" Remote System Version is: 5.0.0.0\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" ERROR: Can't Start Executable (error=193)\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("/PASS:**** /SOCKFILE:"), std::string::npos) << log;
    EXPECT_EQ(log.find("hunter2"), std::string::npos) << log;
    EXPECT_TRUE(SimSawClose(m_pSim));
}

TEST_F(MainWndTest, EndedProgramBringsTheWindowBackAndClosesTheConnection)
{
    StartSim("7.1.1.0", "pw");
    PutProgram("7_1_1_0", "BRIGHTLEAF.EXE", "viewer");
    CVOLTARODlg* dlg = OpenWindow(SimName(), "pw");
    dlg->ShowWindow(SW_SHOW);
    dlg->OnStartCommand(StartMode::Viewer);
    ASSERT_NE(dlg->m_ProcessInfo.hProcess, nullptr);
    EXPECT_FALSE(::IsWindowEnabled(dlg->GetDlgItem(IDC_START)));

    // Still running: the window stays hidden and the bridge stays.
    dlg->ShowWindow(SW_SHOW);
    dlg->OnTick(1);
    EXPECT_FALSE(dlg->IsWindowVisible());
    EXPECT_NE(dlg->m_pLoopBack.get(), nullptr);
    EXPECT_TRUE(m_pSession->IsConnected());

    HANDLE ended = EndedProcessHandle();
    ASSERT_NE(ended, nullptr);
    ::CloseHandle(dlg->m_ProcessInfo.hProcess);
    dlg->m_ProcessInfo.hProcess = ended;
    dlg->OnTick(1);

    EXPECT_EQ(dlg->m_ProcessInfo.hProcess, nullptr);
    EXPECT_EQ(dlg->m_pLoopBack.get(), nullptr);
    EXPECT_TRUE(dlg->IsWindowVisible());
    EXPECT_TRUE(::IsWindowEnabled(dlg->GetDlgItem(IDC_START)));
    EXPECT_FALSE(m_pSession->IsConnected());
    EXPECT_TRUE(SimSawClose(m_pSim));
}

TEST_F(MainWndTest, SilentStartRunsAtOnceNeverSavesAndClosesWhenTheProgramEnds)
{
    StartSim("7.1.1.0", "pw");
    PutProgram("7_1_1_0", "BRIGHTLEAF.EXE", "viewer");
    LoginData before;
    before.systemName = "Saved";
    before.password = "savedpw";
    const std::string loginPath = m_strDataFolder + "\\LOGIN.DAT";
    ASSERT_TRUE(WriteLoginFile(loginPath, before));
    const std::string bytes = ReadFileBytes(loginPath);

    // An empty "/USER:" reads the saved login, but silent mode puts the command
    // line's values back.
    m_pDlg = new CVOLTARODlg(m_pSession, "", "pw", "", 0, 0, true, nullptr);
    EXPECT_EQ(m_pDlg->m_strSystemName, "");
    EXPECT_EQ(m_pDlg->m_strSavedSystemName, "Saved");
    m_pDlg->m_strSystemName = SimName(); // as "/USER:" would have given it
    ASSERT_TRUE(m_pDlg->Create(IDD_RERUDI_DIALOG, nullptr));
    CVOLTARODlg* dlg = m_pDlg;

    EXPECT_EQ(g_Starter.commandLines.size(), 1u) << "started from the window's initialisation";
    RECT r;
    dlg->GetWindowRect(&r);
    EXPECT_EQ(r.right - r.left, 0);
    EXPECT_EQ(r.bottom - r.top, 0);
    EXPECT_EQ(ReadFileBytes(loginPath), bytes);

    HWND hwnd = dlg->m_hWnd;
    HANDLE ended = EndedProcessHandle();
    ASSERT_NE(ended, nullptr);
    ::CloseHandle(dlg->m_ProcessInfo.hProcess);
    dlg->m_ProcessInfo.hProcess = ended;
    dlg->OnTick(1);
    EXPECT_TRUE(PumpUntil([&] { return !::IsWindow(hwnd); }, 3000)) << "the launcher closes itself";
}

TEST_F(MainWndTest, SilentStartThatFailsClosesOnTheFirstTick)
{
    StartSim("7.1.1.0", "right");
    m_pDlg = new CVOLTARODlg(m_pSession, SimName(), "wrong", "", 0, 0, true, nullptr);
    ASSERT_TRUE(m_pDlg->Create(IDD_RERUDI_DIALOG, nullptr));
    HWND hwnd = m_pDlg->m_hWnd;
    ASSERT_EQ(g_Boxes.size(), 1u);
    EXPECT_EQ(g_Boxes[0].text, "Connection Failed\nPassword Rejected");
    EXPECT_FALSE(FileExistsA(m_strDataFolder + "\\LOGIN.DAT"));
    m_pDlg->OnTick(1);
    EXPECT_TRUE(PumpUntil([&] { return !::IsWindow(hwnd); }, 3000));
}
