// The IP-configuration command from the main window.
#include "test_voltarodlg_fixture.h"

#include "util/qvsocket.h"
#include "util/qvtick.h"

namespace
{

using ConfigIpTest = MainWndTest;

TEST_F(ConfigIpTest, ConfigureIpWithoutSelectionDoesNothingAndWithoutAnswerGivesUp)
{
    CVOLTARODlg* dlg = OpenWindow("", "");
    dlg->OnConfigureIP();
    EXPECT_EQ(dlg->m_pProgressDlg, nullptr);

    // With the adapters out of reach no controller can answer: the command shows
    // its last line for two seconds, closes the progress window and leaves the
    // window usable.
    EXPECT_TRUE(dlg->m_Systems.HandleAnswer(Answer("Cellar", 1), MakeIPv4(192, 168, 1, 20)));
    ASSERT_EQ(dlg->m_SystemList.GetCurSel(), 0);
    const uint32_t start = GetTick();
    dlg->OnConfigureIP();
    EXPECT_GE(TickSince(start), 2000u);
    EXPECT_EQ(dlg->m_pProgressDlg, nullptr);
    EXPECT_EQ(dlg->m_bBusy, 0u);
    EXPECT_FALSE(FileExistsA(m_strDataFolder + "\\OSKA_Connect_Log.txt")) << "no log for this command";
}

} // namespace
