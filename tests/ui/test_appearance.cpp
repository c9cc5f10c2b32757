#include <gtest/gtest.h>

#include "ui/appearance.h"
#include "ui/resource.h"
#include "ui_support.h"

namespace
{

TEST(BackgroundGrey, BlackToRow600ThenFadingNeverBeyond200)
{
    EXPECT_EQ(0, BackgroundGreyLevel(0, 800));
    EXPECT_EQ(0, BackgroundGreyLevel(600, 800));
    EXPECT_EQ(0, BackgroundGreyLevel(601, 800)); // (120200 - 120000) / 800
    EXPECT_EQ(49, BackgroundGreyLevel(799, 800));
    EXPECT_EQ(0, BackgroundGreyLevel(600, 601));
    for (int height : {602, 700, 1080, 1600, 4000, 20000}) {
        int previous = 0;
        for (int row = 0; row < height; ++row) {
            int g = BackgroundGreyLevel(row, height);
            ASSERT_GE(g, previous) << height << " " << row;
            ASSERT_LT(g, 200) << height << " " << row;
            previous = g;
        }
    }
    EXPECT_EQ(0, BackgroundGreyLevel(700, 0));
}

// A plain pop-up of an exact client size stands in for the main window.
HWND MakeSizedWindow(int width, int height)
{
    return ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, width, height, nullptr, nullptr,
                             ::GetModuleHandleA(nullptr), nullptr);
}

COLORREF Grey(int g)
{
    return RGB(g, g, g);
}

TEST(MainBackground, TallWindowFadesAtTheBottomAndTheCacheFollowsTheSize)
{
    HWND window = MakeSizedWindow(120, 800);
    ASSERT_NE(nullptr, window);
    CMainAppearance look;
    CMemoryCanvas canvas(120, 800, RGB(255, 0, 0));
    EXPECT_TRUE(look.OnEraseBkgnd(window, canvas.dc));
    EXPECT_EQ(Grey(0), PixelAt(canvas.dc, 0, 0));
    EXPECT_EQ(Grey(0), PixelAt(canvas.dc, 119, 600));
    EXPECT_EQ(Grey(BackgroundGreyLevel(700, 800)), PixelAt(canvas.dc, 60, 700));
    EXPECT_EQ(Grey(49), PixelAt(canvas.dc, 119, 799));
    EXPECT_EQ(1, look.GetCacheBuildCount());

    // Same size: reused. New size: rebuilt once.
    look.OnEraseBkgnd(window, canvas.dc);
    EXPECT_EQ(1, look.GetCacheBuildCount());
    ::SetWindowPos(window, nullptr, 0, 0, 100, 650, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    look.OnEraseBkgnd(window, canvas.dc);
    look.OnEraseBkgnd(window, canvas.dc);
    EXPECT_EQ(2, look.GetCacheBuildCount());
    EXPECT_EQ(100, look.GetCacheWidth());
    EXPECT_EQ(650, look.GetCacheHeight());
    EXPECT_EQ(Grey(BackgroundGreyLevel(649, 650)), PixelAt(canvas.dc, 50, 649));
    ::DestroyWindow(window);
}

TEST(MainBackground, ShortWindowIsPlainBlack)
{
    HWND window = MakeSizedWindow(50, 400);
    CMainAppearance look;
    CMemoryCanvas canvas(50, 400, RGB(255, 255, 255));
    look.OnEraseBkgnd(window, canvas.dc);
    for (int y = 0; y < 400; y += 37)
        EXPECT_EQ(Grey(0), PixelAt(canvas.dc, 25, y)) << y;
    ::DestroyWindow(window);
}

class MainWindowLookTest : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_TRUE(m_Host.Create(IDD_RERUDI_DIALOG, nullptr)); }
    void TearDown() override { m_Host.DestroyWindow(); }
    HBRUSH Colour(int id, UINT message)
    {
        return m_Look.OnCtlColor(m_Canvas.dc, m_Host.GetDlgItem(id), message);
    }
    CHostDialog m_Host{IDD_RERUDI_DIALOG};
    CMainAppearance m_Look;
    CMemoryCanvas m_Canvas{10, 10, RGB(0, 0, 0)};
};

TEST_F(MainWindowLookTest, ControlColours)
{
    HBRUSH hollow = (HBRUSH)::GetStockObject(NULL_BRUSH);
    HBRUSH black = (HBRUSH)::GetStockObject(BLACK_BRUSH);
    HDC dc = m_Canvas.dc;

    EXPECT_EQ(hollow, Colour(IDC_PRIVACY_POLICY, WM_CTLCOLORSTATIC));
    EXPECT_EQ(QV_LINK_BLUE, ::GetTextColor(dc));
    EXPECT_EQ(TRANSPARENT, ::GetBkMode(dc));

    EXPECT_EQ(black, Colour(IDC_SYSTEM_NAME, WM_CTLCOLOREDIT));
    EXPECT_EQ(QV_LIGHT_GREY, ::GetTextColor(dc));
    EXPECT_EQ(QV_BLACK, ::GetBkColor(dc));
    EXPECT_EQ(OPAQUE, ::GetBkMode(dc));

    EXPECT_EQ(hollow, Colour(IDC_SYSTEM_NAME_LABEL, WM_CTLCOLORSTATIC));
    EXPECT_EQ(QV_LIGHT_GREY, ::GetTextColor(dc));
    EXPECT_EQ(TRANSPARENT, ::GetBkMode(dc));

    EXPECT_EQ(hollow, Colour(IDC_VERSION, WM_CTLCOLORSTATIC));
    EXPECT_EQ(QV_AMBER, ::GetTextColor(dc));
    EXPECT_EQ(hollow, Colour(IDC_LOCAL_SYSTEMS_LABEL, WM_CTLCOLORSTATIC));
    EXPECT_EQ(QV_LIGHT_GREY, ::GetTextColor(dc));
    EXPECT_EQ(hollow, Colour(IDC_BANNER, WM_CTLCOLORSTATIC));

    EXPECT_EQ(nullptr, Colour(IDC_SYSTEM_LIST, WM_CTLCOLORLISTBOX)) << "the list keeps the default";
    EXPECT_EQ(black, Colour(IDC_START, WM_CTLCOLORBTN));
    EXPECT_EQ(black, m_Look.OnCtlColor(dc, nullptr, WM_CTLCOLORDLG));
}

TEST_F(MainWindowLookTest, HandCursorOnlyOverThePrivacyLink)
{
    HCURSOR hand = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32649));
    ::SetCursor(::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)));
    EXPECT_FALSE(m_Look.OnSetCursor(m_Host.m_hWnd, m_Host.GetDlgItem(IDC_SYSTEM_NAME)));
    EXPECT_NE(hand, ::GetCursor());
    EXPECT_TRUE(m_Look.OnSetCursor(m_Host.m_hWnd, m_Host.GetDlgItem(IDC_PRIVACY_POLICY)));
    EXPECT_EQ(hand, ::GetCursor());
    // Through the dialog-procedure helper the result is "cursor set".
    INT_PTR result = 0;
    EXPECT_TRUE(m_Look.HandleMessage(m_Host.m_hWnd, WM_SETCURSOR,
                                     (WPARAM)m_Host.GetDlgItem(IDC_PRIVACY_POLICY),
                                     MAKELPARAM(HTCLIENT, WM_MOUSEMOVE), nullptr, &result));
    EXPECT_EQ(TRUE, ::GetWindowLongPtrA(m_Host.m_hWnd, DWLP_MSGRESULT));
    EXPECT_FALSE(m_Look.HandleMessage(m_Host.m_hWnd, WM_SETCURSOR, (WPARAM)m_Host.m_hWnd,
                                      MAKELPARAM(HTCLIENT, WM_MOUSEMOVE), nullptr, &result));
}

COLORREF DrawButton(CMainAppearance& look, HWND button, UINT id, UINT state, CMemoryCanvas& canvas,
                    bool* handled)
{
    DRAWITEMSTRUCT item = {};
    item.CtlType = ODT_BUTTON;
    item.CtlID = id;
    item.itemAction = ODA_DRAWENTIRE;
    item.itemState = state;
    item.hwndItem = button;
    item.hDC = canvas.dc;
    item.rcItem = {0, 0, canvas.width, canvas.height};
    *handled = look.OnDrawItem(id, &item);
    return PixelAt(canvas.dc, 6, canvas.height / 2); // inside the face, left of the text
}

TEST_F(MainWindowLookTest, OwnerDrawnButtonsByState)
{
    HWND start = m_Host.GetDlgItem(IDC_START);
    bool handled = false;
    CMemoryCanvas normal(160, 40, RGB(1, 2, 3));
    EXPECT_EQ(Grey(128), DrawButton(m_Look, start, IDC_START, 0, normal, &handled));
    EXPECT_TRUE(handled);
    EXPECT_EQ(QV_WHITE, PixelAt(normal.dc, 80, 0)) << "white outline";
    EXPECT_EQ(QV_BLACK, PixelAt(normal.dc, 0, 0)) << "corners outside the rounding stay black";
    bool text = false;
    for (int x = 40; x < 120 && !text; ++x)
        for (int y = 10; y < 30 && !text; ++y)
            text = PixelAt(normal.dc, x, y) == QV_WHITE;
    EXPECT_TRUE(text) << "caption drawn in white in the middle";

    CMemoryCanvas pressed(160, 40, RGB(1, 2, 3));
    EXPECT_EQ(QV_WHITE, DrawButton(m_Look, start, IDC_START, ODS_SELECTED, pressed, &handled));

    CMemoryCanvas disabled(160, 40, RGB(1, 2, 3));
    EXPECT_EQ(QV_BLACK,
              DrawButton(m_Look, start, IDC_START, ODS_DISABLED | ODS_SELECTED, disabled, &handled));
    EXPECT_EQ(QV_WHITE, PixelAt(disabled.dc, 80, 0));

    for (UINT id : {IDC_START_CONFIGURATOR, IDC_OPTIONS, IDC_CONFIGURE_IP}) {
        CMemoryCanvas other(160, 40, RGB(1, 2, 3));
        DrawButton(m_Look, m_Host.GetDlgItem(id), id, 0, other, &handled);
        EXPECT_TRUE(handled) << id;
    }
    CMemoryCanvas foreign(160, 40, RGB(1, 2, 3));
    EXPECT_EQ(RGB(1, 2, 3), DrawButton(m_Look, start, 1234, 0, foreign, &handled));
    EXPECT_FALSE(handled);
}

TEST_F(MainWindowLookTest, BannerFillsTheWidthAndEndsAboveStart)
{
    m_Look.SetUpBanner(m_Host.m_hWnd);
    HWND banner = m_Host.GetDlgItem(IDC_BANNER);
    ASSERT_NE(nullptr, m_Look.GetBanner());
    EXPECT_EQ((LPARAM)m_Look.GetBanner(), ::SendMessageA(banner, STM_GETIMAGE, IMAGE_BITMAP, 0));
    BITMAP info = {};
    ::GetObjectA(m_Look.GetBanner(), sizeof(info), &info);
    EXPECT_EQ(425, info.bmWidth);
    EXPECT_EQ(240, info.bmHeight);

    RECT bannerRect, startRect, client;
    ::GetWindowRect(banner, &bannerRect);
    ::GetWindowRect(m_Host.GetDlgItem(IDC_START), &startRect);
    m_Host.GetClientRect(&client);
    EXPECT_EQ(client.right, bannerRect.right - bannerRect.left);
    EXPECT_EQ(startRect.top - 8, bannerRect.bottom);
    POINT topLeft = {bannerRect.left, bannerRect.top};
    m_Host.ScreenToClient(&topLeft);
    EXPECT_EQ(0, topLeft.x);
    EXPECT_EQ(0, topLeft.y);
}

TEST_F(MainWindowLookTest, HelperAnswersDragIconAndLeavesOtherMessages)
{
    HICON icon = ::LoadIconA(QVGetInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME));
    ASSERT_NE(nullptr, icon);
    INT_PTR result = 0;
    EXPECT_TRUE(m_Look.HandleMessage(m_Host.m_hWnd, WM_QUERYDRAGICON, 0, 0, icon, &result));
    EXPECT_EQ((INT_PTR)icon, result);
    EXPECT_FALSE(m_Look.HandleMessage(m_Host.m_hWnd, WM_PAINT, 0, 0, icon, &result)) << "not minimised";
    EXPECT_FALSE(m_Look.HandleMessage(m_Host.m_hWnd, WM_COMMAND, 0, 0, icon, &result));
    EXPECT_TRUE(m_Look.HandleMessage(m_Host.m_hWnd, WM_ERASEBKGND, (WPARAM)m_Canvas.dc, 0, icon, &result));
}

} // namespace
