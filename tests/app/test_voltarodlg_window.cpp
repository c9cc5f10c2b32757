// The main window seen from outside: the saved login and the fields, the selected
// line of the list against a typed address, and the build files moved at start.
#include "test_voltarodlg_fixture.h"

#include "app/loginfile.h"
#include "ui/resource.h"
#include "util/qvsocket.h"
#include "util/qvtick.h"

namespace
{

TEST_F(MainWndTest, SavedLoginFillsTheFieldsAndTypingTheSavedNameBringsThePasswordBack)
{
    LoginData saved;
    saved.systemName = "Pool";
    saved.password = "secret";
    saved.sizeClass = 1;
    ASSERT_TRUE(WriteLoginFile(m_strDataFolder + "\\LOGIN.DAT", saved));
    CVOLTARODlg* dlg = OpenWindow("", "");

    EXPECT_EQ(FieldText(dlg, IDC_SYSTEM_NAME), "Pool");
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "secret");
    EXPECT_EQ(dlg->m_nSizeClass, SizeClass::Window800x480);

    Type(dlg, "Garden");
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "");
    Type(dlg, "pool"); // letter case matters for the saved login
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "");
    Type(dlg, "Pool");
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "secret");
    EXPECT_EQ(dlg->m_strPassword, "secret");
}

TEST_F(MainWndTest, StartRerudiIsEnabledOnlyWithASystemName)
{
    CVOLTARODlg* dlg = OpenWindow("", "");
    EXPECT_FALSE(::IsWindowEnabled(dlg->GetDlgItem(IDC_START)));
    Type(dlg, "Pool");
    EXPECT_TRUE(::IsWindowEnabled(dlg->GetDlgItem(IDC_START)));
    Type(dlg, "");
    EXPECT_FALSE(::IsWindowEnabled(dlg->GetDlgItem(IDC_START)));
}

TEST_F(MainWndTest, NameOnTheCommandLineLeavesTheSavedLoginUnread)
{
    LoginData saved;
    saved.systemName = "Pool";
    saved.password = "secret";
    ASSERT_TRUE(WriteLoginFile(m_strDataFolder + "\\LOGIN.DAT", saved));
    CVOLTARODlg* dlg = OpenWindow("Given", "");

    EXPECT_EQ(FieldText(dlg, IDC_SYSTEM_NAME), "Given");
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "");
    EXPECT_EQ(dlg->m_strSavedSystemName, "");
}

TEST_F(MainWndTest, SaveLoginWritesTheTypedLoginAndSilentModeNeverWrites)
{
    CVOLTARODlg* dlg = OpenWindow("", "");
    dlg->m_strSystemName = "Typed";
    dlg->m_strPassword = "pw";
    dlg->m_dwLastAddress = MakeIPv4(192, 168, 1, 10);
    dlg->SaveLogin();
    LoginData back;
    ASSERT_TRUE(ReadLoginFile(m_strDataFolder + "\\LOGIN.DAT", back));
    EXPECT_EQ(back.systemName, "Typed");
    EXPECT_EQ(back.password, "pw");
    EXPECT_EQ(back.lastAddress, MakeIPv4(192, 168, 1, 10));
    EXPECT_EQ(dlg->m_strSavedSystemName, "Typed");

    // Not remembering clears what is kept.
    dlg->m_bRememberLogin = 0;
    dlg->SaveLogin();
    LoginData cleared;
    ASSERT_TRUE(ReadLoginFile(m_strDataFolder + "\\LOGIN.DAT", cleared));
    EXPECT_EQ(cleared.systemName, "");
    EXPECT_EQ(cleared.password, "");
    EXPECT_EQ(cleared.rememberLogin, 0u);

    const std::string bytes = ReadFileBytes(m_strDataFolder + "\\LOGIN.DAT");
    dlg->m_bSilent = true;
    dlg->m_bRememberLogin = 1;
    dlg->SaveLogin();
    EXPECT_EQ(ReadFileBytes(m_strDataFolder + "\\LOGIN.DAT"), bytes);
}

TEST_F(MainWndTest, SelectedEntryWinsOverTypedAddressAndSelectionRestoresSavedPassword)
{
    StartSim("7.1.1.0", "");
    PutProgram("7_1_1_0", "BRIGHTLEAF.EXE", "viewer");
    LoginData saved;
    saved.systemName = "Sim";
    saved.password = "pw";
    ASSERT_TRUE(WriteLoginFile(m_strDataFolder + "\\LOGIN.DAT", saved));
    CVOLTARODlg* dlg = OpenWindow("", "");
    Type(dlg, "Other");
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "");

    SystemEntry* entry = new SystemEntry();
    entry->m_strName = "Sim";
    entry->m_dwAddress = LoopbackAddress();
    entry->m_wPort = m_pSim->GetPort();
    entry->m_dwLastSeen = GetTick();
    const int index = dlg->m_SystemList.AddEntry(entry);
    ASSERT_GE(index, 0);
    dlg->m_SystemList.SetCurSel(index);
    dlg->OnSelChange();
    EXPECT_EQ(FieldText(dlg, IDC_SYSTEM_NAME), "Sim");
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "pw");
    EXPECT_EQ(dlg->m_SystemList.GetCurSel(), index);

    // A typed dotted address that leads nowhere loses against a selected line.
    Type(dlg, "127.0.0.9:1");
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "");
    dlg->m_SystemList.SetCurSel(index);
    ASSERT_TRUE(dlg->StartViewer(StartMode::Viewer));
    EXPECT_EQ(m_pSim->GetStats().loginsOk, 1u);
    EXPECT_EQ(dlg->m_dwLastAddress, LoopbackAddress());
}

TEST_F(MainWndTest, BuildFilesMoveIntoTheBuildFolderWithoutOverwriting)
{
    WriteFileBytes(m_strDataFolder + "\\BRIGHTLEAF.EXE", "old viewer");
    WriteFileBytes(m_strDataFolder + "\\AREA.CSV", "area");
    ::CreateDirectoryA((m_strDataFolder + "\\8_6_522_0").c_str(), nullptr);
    WriteFileBytes(m_strDataFolder + "\\8_6_522_0\\AREA.CSV", "kept");
    OpenWindow("Name", "");

    EXPECT_EQ(ReadFileBytes(m_strDataFolder + "\\8_6_522_0\\BRIGHTLEAF.EXE"), "old viewer");
    EXPECT_FALSE(FileExistsA(m_strDataFolder + "\\BRIGHTLEAF.EXE"));
    EXPECT_EQ(ReadFileBytes(m_strDataFolder + "\\8_6_522_0\\AREA.CSV"), "kept");
    EXPECT_EQ(ReadFileBytes(m_strDataFolder + "\\AREA.CSV"), "area");
}

} // namespace
