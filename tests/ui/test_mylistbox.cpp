#include <gtest/gtest.h>

#include "ui/appearance.h"
#include "ui/mylistbox.h"
#include "ui/resource.h"
#include "ui_support.h"

namespace
{

SystemEntry* MakeEntry(const char* name, uint32_t address = 0x1401A8C0, uint16_t port = 80,
                       uint8_t status = 1)
{
    SystemEntry* entry = new SystemEntry;
    entry->m_strName = name;
    entry->m_dwAddress = address;
    entry->m_wPort = port;
    entry->m_bStatus = status;
    return entry;
}

// The systems list as it lives in the main window: control 1010 of the main
// dialog resource, hidden.
class SystemListTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Host.Create(IDD_RERUDI_DIALOG, nullptr));
        ASSERT_TRUE(m_List.SubclassDlgItem(IDC_SYSTEM_LIST, &m_Host));
    }
    void TearDown() override
    {
        m_List.DeleteAllEntries();
        m_Host.DestroyWindow();
    }
    std::vector<std::string> Lines()
    {
        std::vector<std::string> lines;
        for (int i = 0; i < m_List.GetCount(); ++i)
            lines.push_back(m_List.GetText(i));
        return lines;
    }
    void Fill(int count)
    {
        for (int i = 0; i < count; ++i) {
            char name[16];
            wsprintfA(name, "System %02d", i);
            m_List.AddEntry(MakeEntry(name));
        }
    }

    CHostDialog m_Host{IDD_RERUDI_DIALOG};
    CMyListBox m_List;
};

TEST_F(SystemListTest, EntriesAreSortedByNameAndCarriedAsItemData)
{
    SystemEntry* office = MakeEntry("Office");
    SystemEntry* attic = MakeEntry("Attic");
    EXPECT_EQ(0, m_List.AddEntry(office));
    EXPECT_EQ(0, m_List.AddEntry(attic));
    EXPECT_EQ((std::vector<std::string>{"Attic", "Office"}), Lines());
    EXPECT_EQ(attic, m_List.GetEntry(0));
    EXPECT_EQ(office, m_List.GetEntry(1));
    EXPECT_EQ(nullptr, m_List.GetEntry(7)) << "a missing line has no entry";
    EXPECT_FALSE(m_List.IsWindowVisible());
    EXPECT_LT(m_List.AddEntry(nullptr), 0);
}

TEST_F(SystemListTest, RemoveEntryDeletesOnlyAListedEntry)
{
    SystemEntry* keep = MakeEntry("Keep");
    SystemEntry* drop = MakeEntry("Drop");
    m_List.AddEntry(keep);
    m_List.AddEntry(drop);

    SystemEntry stranger; // not in the list, not on the heap: must not be deleted
    stranger.m_strName = "Keep";
    m_List.RemoveEntry(&stranger);
    m_List.RemoveEntry(nullptr);
    EXPECT_EQ((std::vector<std::string>{"Drop", "Keep"}), Lines());

    m_List.RemoveEntry(drop);
    EXPECT_EQ((std::vector<std::string>{"Keep"}), Lines());
    EXPECT_EQ(keep, m_List.GetEntry(0));
}

TEST_F(SystemListTest, DeleteAllEntriesClearsTheItemData)
{
    Fill(3);
    m_List.DeleteAllEntries();
    EXPECT_EQ(3, m_List.GetCount());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(nullptr, m_List.GetEntry(i));
}

// The list answers entry lookups from its own copy of the item data; whoever
// adds, inserts, re-labels or deletes lines through the control, the copy must
// say what the control says.
TEST_F(SystemListTest, EntriesFollowEveryChangeToTheLines)
{
    std::vector<SystemEntry> pool(8); // never deleted by the list: only direct messages touch them
    auto check = [&](int step) {
        const int count = m_List.GetCount();
        ASSERT_EQ(count, m_List.GetEntryCount()) << "step " << step;
        for (int i = 0; i < count; ++i)
            ASSERT_EQ((DWORD_PTR)m_List.GetEntry(i), m_List.GetItemData(i))
                << "step " << step << " line " << i;
    };
    uint32_t seed = 12345;
    auto next = [&](uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % bound;
    };
    for (int step = 0; step < 400; ++step) {
        const int count = m_List.GetCount();
        char name[16];
        wsprintfA(name, "Line %03u", (unsigned)next(1000));
        switch (next(step % 97 == 96 ? 6 : 5)) {
        case 0:
        case 1: { // sorted place, then data at the index it reports
            const int index = m_List.AddString(name);
            ASSERT_GE(index, 0);
            if (next(2)) m_List.SetItemData(index, (DWORD_PTR)&pool[next(8)]);
            break;
        }
        case 2: // a chosen place, or the end
            m_List.SendMessage(LB_INSERTSTRING, count ? (WPARAM)next((uint32_t)count + 1) : 0, (LPARAM)name);
            break;
        case 3:
            if (count) m_List.SetItemData((int)next((uint32_t)count), (DWORD_PTR)&pool[next(8)]);
            EXPECT_EQ(LB_ERR, m_List.SetItemData(count + 3, (DWORD_PTR)&pool[0])) << "no such line";
            break;
        case 4:
            EXPECT_EQ(LB_ERR, m_List.DeleteString(count + 2)) << "no such line";
            if (count) m_List.DeleteString((int)next((uint32_t)count));
            break;
        default:
            m_List.ResetContent();
            break;
        }
        check(step);
        if (HasFatalFailure()) {
            m_List.ResetContent(); // the pool is not the list's to delete
            return;
        }
    }

    // Entries added the ordinary way land beside the others in sorted place.
    m_List.ResetContent();
    m_List.AddString("Middle");
    SystemEntry* first = MakeEntry("Aaa");
    SystemEntry* last = MakeEntry("Zzz");
    EXPECT_EQ(1, m_List.AddEntry(last));
    EXPECT_EQ(0, m_List.AddEntry(first));
    EXPECT_EQ(first, m_List.GetEntry(0));
    EXPECT_EQ(nullptr, m_List.GetEntry(1));
    EXPECT_EQ(last, m_List.GetEntry(2));
    m_List.RemoveEntry(first);
    EXPECT_EQ((std::vector<std::string>{"Middle", "Zzz"}), Lines());
    EXPECT_EQ(last, m_List.GetEntry(1));
    check(-1);
}

TEST_F(SystemListTest, LinesAreAtLeastOneTextLineHigh)
{
    m_List.AddEntry(MakeEntry(""));
    m_List.AddEntry(MakeEntry("Name"));
    HDC dc = ::GetDC(m_List.m_hWnd);
    HGDIOBJ old = ::SelectObject(dc, m_List.GetFont());
    TEXTMETRICA metrics;
    ::GetTextMetricsA(dc, &metrics);
    ::SelectObject(dc, old);
    ::ReleaseDC(m_List.m_hWnd, dc);
    for (int i = 0; i < 2; ++i)
        EXPECT_GE((int)m_List.SendMessage(LB_GETITEMHEIGHT, i), (int)metrics.tmHeight) << i;
}

TEST_F(SystemListTest, WheelNotchesQueueThreeLinesEachTakenOnePerTick)
{
    Fill(30);
    m_List.SendMessage(WM_MOUSEWHEEL, MAKEWPARAM(0, (WORD)(short)-120));
    m_List.SendMessage(WM_MOUSEWHEEL, MAKEWPARAM(0, (WORD)(short)-1));
    EXPECT_EQ(6, m_List.GetPendingScroll());
    for (int tick = 1; tick <= 6; ++tick) {
        m_List.OnScrollTimer();
        EXPECT_EQ(tick, m_List.GetTopIndex());
        EXPECT_EQ(6 - tick, m_List.GetPendingScroll());
    }
    // A zero delta counts as towards the user, a positive one away.
    m_List.OnMouseWheel(0);
    EXPECT_EQ(3, m_List.GetPendingScroll());
    m_List.OnMouseWheel(120);
    EXPECT_EQ(0, m_List.GetPendingScroll());
    m_List.OnMouseWheel(120);
    m_List.OnScrollTimer();
    EXPECT_EQ(5, m_List.GetTopIndex());
    EXPECT_EQ(-2, m_List.GetPendingScroll());
}

TEST_F(SystemListTest, ScrollingStopsAtTheTopAndAtTheEnd)
{
    Fill(30);
    m_List.OnMouseWheel(120);
    m_List.OnScrollTimer();
    EXPECT_EQ(0, m_List.GetPendingScroll()) << "at the top, up clears the pending count at once";
    EXPECT_EQ(0, m_List.GetTopIndex());

    // Far down: the list stops scrolling before the count is spent.
    for (int i = 0; i < 20; ++i)
        m_List.OnMouseWheel(-120);
    int ticks = 0;
    while (m_List.GetPendingScroll() != 0 && ticks < 100) {
        m_List.OnScrollTimer();
        ++ticks;
    }
    EXPECT_EQ(0, m_List.GetPendingScroll());
    EXPECT_LT(ticks, 60);
    EXPECT_GT(m_List.GetTopIndex(), 0);
    EXPECT_LE(m_List.GetTopIndex(), 29);
}

TEST_F(SystemListTest, TimerOneScrollsTheQueuedLines)
{
    Fill(30);
    m_List.SendMessage(WM_MOUSEWHEEL, MAKEWPARAM(0, (WORD)(short)-120));
    m_List.SendMessage(WM_MOUSEWHEEL, MAKEWPARAM(0, (WORD)(short)-120));
    EXPECT_TRUE(PumpUntil([&] { return m_List.GetPendingScroll() == 0; }, 3000));
    EXPECT_EQ(6, m_List.GetTopIndex());
}

TEST_F(SystemListTest, BackgroundIsErasedBlack)
{
    CMemoryCanvas canvas(40, 40, RGB(255, 255, 255));
    EXPECT_EQ(1, (int)m_List.SendMessage(WM_ERASEBKGND, (WPARAM)canvas.dc));
    EXPECT_EQ(QV_BLACK, PixelAt(canvas.dc, 3, 3));
}

// Draws one line into a canvas the way the list asks for it.
void DrawLine(CMyListBox& list, SystemEntry* entry, bool selected, CMemoryCanvas& canvas)
{
    DRAWITEMSTRUCT item = {};
    item.CtlType = ODT_LISTBOX;
    item.CtlID = IDC_SYSTEM_LIST;
    item.itemID = entry ? 0 : (UINT)-1;
    item.itemAction = ODA_DRAWENTIRE;
    item.itemState = selected ? ODS_SELECTED : 0;
    item.hwndItem = list.m_hWnd;
    item.hDC = canvas.dc;
    item.rcItem = {0, 0, canvas.width, canvas.height};
    item.itemData = (ULONG_PTR)entry;
    ::SelectObject(canvas.dc, list.GetFont());
    list.DrawItem(&item);
}

int WhiteColumnsIn(CMemoryCanvas& canvas, int fromX, int toX)
{
    int columns = 0;
    for (int x = fromX; x < toX; ++x)
        for (int y = 0; y < canvas.height; ++y)
            if (PixelAt(canvas.dc, x, y) == QV_WHITE) {
                ++columns;
                break;
            }
    return columns;
}

TEST_F(SystemListTest, SelectedLineIsAmberUnselectedBlackTextWhite)
{
    SystemEntry entry;
    entry.m_strName = "Office";
    entry.m_dwAddress = 0x1401A8C0;
    entry.m_wPort = 80;

    CMemoryCanvas selected(300, 20, RGB(1, 2, 3));
    DrawLine(m_List, &entry, true, selected);
    EXPECT_EQ(QV_AMBER, PixelAt(selected.dc, 1, 1));
    EXPECT_EQ(QV_AMBER, PixelAt(selected.dc, 150, 18)) << "no black box behind the text";
    EXPECT_GT(WhiteColumnsIn(selected, 5, 100), 0) << "name at the left";
    EXPECT_GT(WhiteColumnsIn(selected, 200, 300), 0) << "address at the right";
    EXPECT_EQ(0, WhiteColumnsIn(selected, 0, 5)) << "text starts 5 pixels in";

    CMemoryCanvas plain(300, 20, RGB(1, 2, 3));
    DrawLine(m_List, &entry, false, plain);
    EXPECT_EQ(QV_BLACK, PixelAt(plain.dc, 1, 1));

    CMemoryCanvas empty(300, 20, RGB(1, 2, 3));
    DrawLine(m_List, nullptr, false, empty);
    EXPECT_EQ(QV_BLACK, PixelAt(empty.dc, 1, 1));
    EXPECT_EQ(0, WhiteColumnsIn(empty, 0, 300)) << "no entry, no text";
}

TEST(SystemEntryText, AddressAndPortLowestByteFirst)
{
    // Bytes 192, 168, 1, 20 in that order.
    const uint8_t bytes[4] = {192, 168, 1, 20};
    uint32_t address = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | ((uint32_t)bytes[3] << 24);
    EXPECT_EQ("192.168.1.20:80", FormatEntryAddress(address, 80));
    EXPECT_EQ("127.0.0.1:80", FormatEntryAddress(0x0100007F, 80));
    EXPECT_EQ("255.255.255.255:65535", FormatEntryAddress(0xFFFFFFFF, 65535));
    EXPECT_EQ("0.0.0.0:0", FormatEntryAddress(0, 0));
}

TEST(SystemEntryText, AutoSelectableStatuses)
{
    SystemEntry entry;
    std::vector<int> selectable;
    for (int status = 0; status < 256; ++status) {
        entry.m_bStatus = (uint8_t)status;
        if (entry.IsAutoSelectable()) selectable.push_back(status);
    }
    EXPECT_EQ((std::vector<int>{1, 6, 7, 8, 9, 10, 11, 12, 100}), selectable);
    SystemEntry fresh;
    EXPECT_EQ(0u, fresh.m_dwAddress);
}

} // namespace
