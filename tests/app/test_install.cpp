// Self-install under Wine, with the program-files, all-users and per-user folders
// pointed into a temporary folder: files on disk, the shortcut read back through
// the shell, the question box captured, and the refusals that protect folders that
// are not ours.
#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/install.h"
#include "protocol/qvserver.h"
#include "ui/framework.h"
#include "util/folders.h"

namespace
{

int g_nQuestions = 0;
int g_nAnswer = IDNO;
std::string g_strLastText;
UINT g_nLastFlags = 0;

std::vector<std::string> g_Refusals;

int AnswerBox(HWND, const char* text, const char*, UINT flags)
{
    if ((flags & MB_ICONMASK) == MB_ICONWARNING) {
        g_Refusals.push_back(text ? text : "");
        return IDOK;
    }
    ++g_nQuestions;
    g_strLastText = text ? text : "";
    g_nLastFlags = flags;
    return g_nAnswer;
}

void SetEnv(const char* name, const std::string& value)
{
    // Both the process environment and the C runtime's copy, whichever is read.
    SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
    _putenv_s(name, value.c_str());
}

bool Exists(const std::string& p)
{
    return GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteText(const std::string& p, const std::string& text)
{
    std::ofstream(p, std::ios::binary) << text;
}

std::vector<unsigned char> ReadAll(const std::string& p)
{
    std::ifstream f(p, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void MakeDirs(const std::string& p)
{
    std::filesystem::create_directories(p);
}

void RemoveTree(const std::string& p)
{
    std::error_code ec;
    std::filesystem::remove_all(p, ec);
}

struct LinkInfo {
    bool loaded = false;
    std::string path, workingFolder, description;
};

LinkInfo ReadLink(const std::string& linkPath)
{
    LinkInfo info;
    HRESULT init = CoInitialize(nullptr);
    IShellLinkA* link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   (void**)&link))) {
        IPersistFile* file = nullptr;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void**)&file))) {
            std::wstring wide(linkPath.begin(), linkPath.end());
            if (SUCCEEDED(file->Load(wide.c_str(), STGM_READ))) {
                char buf[MAX_PATH * 2] = {0};
                info.loaded = true;
                if (SUCCEEDED(link->GetPath(buf, sizeof(buf), nullptr, SLGP_RAWPATH))) info.path = buf;
                buf[0] = 0;
                if (SUCCEEDED(link->GetWorkingDirectory(buf, sizeof(buf)))) info.workingFolder = buf;
                buf[0] = 0;
                if (SUCCEEDED(link->GetDescription(buf, sizeof(buf)))) info.description = buf;
            }
            file->Release();
        }
        link->Release();
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return info;
}

std::string Upper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return s;
}

const unsigned char kVersionFile[23] = {0x13, 0x00, 0x00, 0x00, '8', '.', '6', ' ', 'B', 'u', 'i', 'l',
                                        'd',  ' ',  '5',  '2',  '2', '.', '0', ' ', 'R', 'e', 'l'};

class InstallTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmp[MAX_PATH];
        GetTempPathA(MAX_PATH, tmp);
        static int serial = 0;
        root = std::string(tmp) + "rerudi-install-" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(++serial);
        RemoveTree(root);
        pf = root + "\\pf";
        pd = root + "\\pd";
        ad = root + "\\ad";
        MakeDirs(pf);
        MakeDirs(pd);
        MakeDirs(ad);
        for (const char* name : {"PROGRAMFILES", "PROGRAMDATA", "APPDATA"}) {
            char buf[MAX_PATH] = {0};
            saved.push_back(GetEnvironmentVariableA(name, buf, MAX_PATH) ? buf : "");
        }
        SetEnv("PROGRAMFILES", pf);
        SetEnv("PROGRAMDATA", pd);
        SetEnv("APPDATA", ad);
        installFolder = pf + "\\OSKA Zizu Systems\\OSKA Rerudi";
        dataFolder = ad + "\\OSKA Zizu Systems\\OSKA Rerudi";
        shortcutFolder = pd + "\\Microsoft\\Windows\\Start Menu\\Programs\\OSKA Zizu Systems";
        target = installFolder + "\\OSKARerudi.exe";
        link = shortcutFolder + "\\OSKA Rerudi.lnk";
        g_nQuestions = 0;
        g_Refusals.clear();
        g_nAnswer = IDNO;
        g_strLastText.clear();
        QVSetMessageBoxHook(AnswerBox);
    }
    void TearDown() override
    {
        QVSetMessageBoxHook(nullptr);
        const char* names[] = {"PROGRAMFILES", "PROGRAMDATA", "APPDATA"};
        for (int i = 0; i < 3; ++i)
            SetEnv(names[i], saved[(size_t)i]);
        RemoveTree(root);
    }
    // Runs a copy of this test program with the install procedure as its only work,
    // so that the executable's own folder is one the test controls. The child
    // installs into this test's program-files folder: a 64-bit Windows (and Wine)
    // gives each new process the ProgramFiles of its own width whatever its parent
    // had, so the folder goes by a variable of ours.
    int RunChild(const std::string& exePath)
    {
        std::vector<unsigned char> r = RunChildTest(exePath, "RunsInstall", pf);
        if (r.empty()) return -1;
        return r[0] == '1' ? 1 : 0;
    }
    // The install folder a copy of this program finds with the environment that
    // Windows gave it.
    std::string ChildInstallFolder(const std::string& exePath)
    {
        std::vector<unsigned char> r = RunChildTest(exePath, "ReportsTheInstallFolder", "");
        return std::string(r.begin(), r.end());
    }
    // What the child test wrote into its result file (empty when it did not run).
    std::vector<unsigned char> RunChildTest(const std::string& exePath, const char* test,
                                            const std::string& programFiles)
    {
        std::string resultFile = root + "\\child-result.txt";
        DeleteFileA(resultFile.c_str());
        SetEnv("RERUDI_INSTALL_CHILD", resultFile);
        SetEnv("RERUDI_INSTALL_PROGRAMFILES", programFiles);
        std::string cmd = "\"" + exePath + "\" --gtest_filter=InstallChild." + test;
        STARTUPINFOA si;
        ZeroMemory(&si, sizeof(si));
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi;
        ZeroMemory(&pi, sizeof(pi));
        std::vector<char> line(cmd.begin(), cmd.end());
        line.push_back('\0');
        BOOL started =
            CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
        SetEnv("RERUDI_INSTALL_CHILD", "");
        SetEnv("RERUDI_INSTALL_PROGRAMFILES", "");
        if (!started) return {};
        DWORD waited = WaitForSingleObject(pi.hProcess, 120000);
        if (waited != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return ReadAll(resultFile);
    }
    std::string root, pf, pd, ad, installFolder, dataFolder, shortcutFolder, target, link;
    std::vector<std::string> saved;
};

TEST(InstallNames, FixedNamesFollowTheirRules)
{
    EXPECT_EQ("OSKA Rerudi", GetProductName(false, false));
    EXPECT_EQ("OSKARerudi", GetProductName(true, false));
    EXPECT_EQ("OSKARerudi.exe", GetProductName(true, true));
    EXPECT_EQ("OSKA Rerudi.lnk", GetShortcutName());
    EXPECT_EQ("OSKA Zizu Systems", GetCompanyFolderName());
    EXPECT_EQ("OSKA Rerudi currently has no Start Menu shortcut\n\nWould you like to create one?\n\n"
              "The shortcut will be generated in\n\n 'C:\\x'",
              ShortcutQuestionText("C:\\x"));
    EXPECT_TRUE(IsUsableRootFolder("C:\\Program Files"));
    EXPECT_TRUE(IsUsableRootFolder("\\\\server\\share"));
    EXPECT_FALSE(IsUsableRootFolder(""));
    EXPECT_FALSE(IsUsableRootFolder("Program Files"));
    EXPECT_FALSE(IsUsableRootFolder("\\Program Files"));
    EXPECT_FALSE(IsUsableRootFolder("C:"));
}

TEST_F(InstallTest, FirstInstallClearsOldFilesCopiesWritesVersionAndMakesTheShortcut)
{
    MakeDirs(installFolder);
    WriteText(installFolder + "\\old.txt", "old");
    MakeDirs(dataFolder + "\\4_2_512_0");
    WriteText(dataFolder + "\\LOGIN.DAT", "login");
    WriteText(dataFolder + "\\4_2_512_0\\BRIGHTLEAF.EXE", "viewer");
    MakeDirs(shortcutFolder);
    WriteText(link, "stale link");

    g_nAnswer = IDYES;
    ASSERT_TRUE(Install());

    EXPECT_FALSE(Exists(installFolder + "\\old.txt"));
    EXPECT_FALSE(Exists(dataFolder + "\\LOGIN.DAT"));
    EXPECT_FALSE(Exists(dataFolder + "\\4_2_512_0"));
    EXPECT_TRUE(Exists(dataFolder));
    EXPECT_EQ(ReadAll(GetExecutablePath()), ReadAll(target));
    EXPECT_EQ(std::vector<unsigned char>(kVersionFile, kVersionFile + 23),
              ReadAll(installFolder + "\\VERSION.DAT"));

    // The stale shortcut went with the old installation, so the question came.
    EXPECT_EQ(1, g_nQuestions);
    EXPECT_EQ(ShortcutQuestionText(shortcutFolder), g_strLastText);
    EXPECT_EQ((UINT)(MB_YESNO | MB_ICONQUESTION), g_nLastFlags & (MB_TYPEMASK | MB_ICONMASK));
    LinkInfo info = ReadLink(link);
    ASSERT_TRUE(info.loaded);
    EXPECT_EQ(Upper(target), Upper(info.path));
    EXPECT_EQ(Upper(installFolder), Upper(info.workingFolder));
    EXPECT_EQ("OSKA Rerudi", info.description);
}

TEST_F(InstallTest, SecondInstallWithVersionFileDeletesNothingAndAsksNothing)
{
    g_nAnswer = IDYES;
    ASSERT_TRUE(Install());
    ASSERT_EQ(1, g_nQuestions);
    WriteText(installFolder + "\\keep.txt", "keep");
    WriteText(dataFolder + "\\LOGIN.DAT", "login");
    WriteText(target, "older build");

    ASSERT_TRUE(Install());
    EXPECT_EQ(1, g_nQuestions);
    EXPECT_TRUE(Exists(installFolder + "\\keep.txt"));
    EXPECT_TRUE(Exists(dataFolder + "\\LOGIN.DAT"));
    EXPECT_EQ(ReadAll(GetExecutablePath()), ReadAll(target));
}

TEST_F(InstallTest, DeletedShortcutAsksAgainAndNoKeepsTheInstallation)
{
    g_nAnswer = IDYES;
    ASSERT_TRUE(Install());
    ASSERT_TRUE(DeleteFileA(link.c_str()));
    g_nAnswer = IDNO;
    ASSERT_TRUE(Install());
    EXPECT_EQ(2, g_nQuestions);
    EXPECT_FALSE(Exists(link));
    EXPECT_TRUE(Exists(target));
}

TEST_F(InstallTest, UnsetProgramFilesOrAppDataRefusesBeforeTouchingAnything)
{
    MakeDirs(dataFolder);
    WriteText(dataFolder + "\\LOGIN.DAT", "login");
    MakeDirs(shortcutFolder);
    WriteText(link, "link");

    SetEnv("PROGRAMFILES", "");
    EXPECT_TRUE(GetInstallFolder(false).empty());
    EXPECT_TRUE(GetInstallFolder(true).empty());
    EXPECT_FALSE(Install());
    SetEnv("PROGRAMFILES", "relative\\folder");
    EXPECT_FALSE(Install());
    SetEnv("PROGRAMFILES", pf);
    SetEnv("APPDATA", "");
    EXPECT_FALSE(Install());

    EXPECT_TRUE(Exists(dataFolder + "\\LOGIN.DAT"));
    EXPECT_TRUE(Exists(link));
    EXPECT_FALSE(Exists(pf + "\\OSKA Zizu Systems"));
    EXPECT_EQ(0, g_nQuestions);
    // A window program's printed line reaches no one: each refusal is a box too.
    EXPECT_EQ(g_Refusals, (std::vector<std::string>{"Install refused: PROGRAMFILES is not set",
                                                    "Install refused: PROGRAMFILES is not set",
                                                    "Install refused: APPDATA is not set"}));
}

TEST_F(InstallTest, UnsetProgramDataInstallsButMakesNoShortcut)
{
    SetEnv("PROGRAMDATA", "");
    EXPECT_TRUE(GetShortcutFolder(true).empty());
    EXPECT_FALSE(Install());
    EXPECT_TRUE(Exists(target));
    EXPECT_TRUE(Exists(installFolder + "\\VERSION.DAT"));
    EXPECT_EQ(0, g_nQuestions);
}

TEST_F(InstallTest, DataFolderFallbackNeverEmptiesTheProgramsFolder)
{
    // APPDATA names a folder that cannot be made, so the data folder falls back to
    // the executable's own folder: a copy of this program in a folder of ours.
    const std::string childFolder = root + "\\runner";
    MakeDirs(childFolder);
    const std::string runner = childFolder + "\\runner.exe";
    ASSERT_TRUE(CopyFileA(GetExecutablePath().c_str(), runner.c_str(), FALSE));
    WriteText(childFolder + "\\neighbour.txt", "not ours");
    SetEnv("APPDATA", root + "\\missing\\deeper");

    EXPECT_EQ(0, RunChild(runner));
    EXPECT_TRUE(Exists(childFolder + "\\neighbour.txt"));
    EXPECT_FALSE(Exists(target));
}

TEST_F(InstallTest, StartedFromTheInstallFolderKeepsItsNeighboursAndItself)
{
    // The installed program run with /INSTALL after its VERSION.DAT went missing.
    MakeDirs(installFolder);
    ASSERT_TRUE(CopyFileA(GetExecutablePath().c_str(), target.c_str(), FALSE));
    WriteText(installFolder + "\\notes.txt", "user notes");
    MakeDirs(dataFolder);
    WriteText(dataFolder + "\\LOGIN.DAT", "login");

    EXPECT_EQ(1, RunChild(target));
    EXPECT_TRUE(Exists(installFolder + "\\notes.txt"));
    EXPECT_EQ(ReadAll(GetExecutablePath()), ReadAll(target));
    EXPECT_EQ(std::vector<unsigned char>(kVersionFile, kVersionFile + 23),
              ReadAll(installFolder + "\\VERSION.DAT"));
    // The data folder is still ours and is cleared as usual.
    EXPECT_FALSE(Exists(dataFolder + "\\LOGIN.DAT"));
}

TEST_F(InstallTest, EachBuildGoesWhereWindowsKeepsProgramsOfItsWidth)
{
    // A process as Windows starts it: "Program Files" for a 64-bit program and on a
    // 32-bit Windows, "Program Files (x86)" for a 32-bit program on a 64-bit one.
    SetEnv("PROGRAMFILES", saved[0]);
    std::string folder = ChildInstallFolder(GetExecutablePath());
    ASSERT_FALSE(folder.empty());
    char programs[MAX_PATH] = {0};
    ASSERT_EQ(S_OK, SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programs));
    EXPECT_EQ(Upper(std::string(programs) + "\\OSKA Zizu Systems\\OSKA Rerudi"), Upper(folder));
    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    const bool x86Folder = Upper(folder).find("PROGRAM FILES (X86)\\") != std::string::npos;
    EXPECT_EQ(sizeof(void*) == 4 && wow64, x86Folder) << folder;
}

TEST_F(InstallTest, InstallOptionEndsStartUpBeforeAnyOtherOptionOrSession)
{
    CVOLTAROApp app;
    char line[] = "/INSTALL /SILENT /USER:Pool";
    app.m_lpCmdLine = line;
    EXPECT_FALSE(app.InitInstance());
    EXPECT_TRUE(Exists(target));
    EXPECT_EQ(1, g_nQuestions);
    EXPECT_EQ(nullptr, app.GetSession());
    EXPECT_FALSE(app.GetStartOptions().silent);
    EXPECT_EQ("", app.GetStartOptions().systemName);
}

TEST_F(InstallTest, UninstallOptionEndsAtOnceAndChangesNothing)
{
    CVOLTAROApp app;
    char line[] = "/UNINSTALL /USER:Pool";
    app.m_lpCmdLine = line;
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(nullptr, app.GetSession());
    EXPECT_EQ(0, g_nQuestions);
    EXPECT_FALSE(Exists(pf + "\\OSKA Zizu Systems"));
    // Not even the data folder is made.
    EXPECT_FALSE(Exists(ad + "\\OSKA Zizu Systems"));
}

// Runs only inside the copies started above.
TEST(InstallChild, RunsInstall)
{
    char resultFile[MAX_PATH] = {0};
    if (!GetEnvironmentVariableA("RERUDI_INSTALL_CHILD", resultFile, MAX_PATH) || !resultFile[0])
        GTEST_SKIP() << "only in a child started by the install tests";
    char programFiles[MAX_PATH] = {0};
    if (GetEnvironmentVariableA("RERUDI_INSTALL_PROGRAMFILES", programFiles, MAX_PATH) && programFiles[0])
        SetEnv("PROGRAMFILES", programFiles);
    QVSetMessageBoxHook(AnswerBox);
    g_nAnswer = IDNO;
    bool ok = Install();
    QVSetMessageBoxHook(nullptr);
    WriteText(resultFile, ok ? "1" : "0");
}

TEST(InstallChild, ReportsTheInstallFolder)
{
    char resultFile[MAX_PATH] = {0};
    if (!GetEnvironmentVariableA("RERUDI_INSTALL_CHILD", resultFile, MAX_PATH) || !resultFile[0])
        GTEST_SKIP() << "only in a child started by the install tests";
    WriteText(resultFile, GetInstallFolder(false));
}

} // namespace
