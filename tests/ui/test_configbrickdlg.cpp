#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "ui/configbrickdlg.h"
#include "ui/resource.h"
#include "ui_support.h"
#include "util/qvtypes.h"

namespace
{

// Drives the modal dialog from inside: once it is up, the test's action runs
// (reading what the controls show, typing, posting button commands).
class CDrivenConfigDlg : public CConfigBrickDlg
{
  public:
    CDrivenConfigDlg(uint8_t* record, std::function<void(CDrivenConfigDlg&)> action)
        : CConfigBrickDlg(record, nullptr), m_Action(action)
    {
    }
    BOOL OnInitDialog() override
    {
        BOOL result = CConfigBrickDlg::OnInitDialog();
        for (int i = 0; i < 4; ++i)
            m_Shown[i] = Field(IDC_IP_ADDRESS + i);
        // A stuck dialog must not hang the test run.
        SetTimer(99, 5000);
        m_Action(*this);
        return result;
    }
    void OnTimer(UINT_PTR id) override
    {
        if (id == 99) EndDialog(-7);
    }
    DWORD Field(int id) const
    {
        DWORD value = 0xDEADBEEF;
        ::SendMessageA(GetDlgItem(id), WM_USER + 102, 0, (LPARAM)&value);
        return value;
    }
    void Type(int id, DWORD value) { ::SendMessageA(GetDlgItem(id), WM_USER + 101, 0, (LPARAM)value); }
    void Press(int id) { PostMessage(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(id)); }

    DWORD m_Shown[4] = {};

  private:
    std::function<void(CDrivenConfigDlg&)> m_Action;
};

struct Record {
    uint8_t bytes[100];
    Record()
    {
        for (int i = 0; i < 100; ++i)
            bytes[i] = (uint8_t)(0x30 + i);
        // 192.168.1.20 / 255.255.255.0 / 192.168.1.1 / 8.8.4.4 as the controller sends them.
        PutLE32(bytes + 0, 0xC0A80114);
        PutLE32(bytes + 4, 0xFFFFFF00);
        PutLE32(bytes + 8, 0xC0A80101);
        PutLE32(bytes + 12, 0x08080404);
    }
};

TEST(ConfigBrickDlg, ShowsTheRecordsFourAddressesUnchanged)
{
    Record record;
    CDrivenConfigDlg dlg(record.bytes, [](CDrivenConfigDlg& d) { d.Press(IDCANCEL); });
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    EXPECT_EQ(0xC0A80114u, dlg.m_Shown[0]);
    EXPECT_EQ(0xFFFFFF00u, dlg.m_Shown[1]);
    EXPECT_EQ(0xC0A80101u, dlg.m_Shown[2]);
    EXPECT_EQ(0x08080404u, dlg.m_Shown[3]);
}

TEST(ConfigBrickDlg, OkStoresTheTypedAddressesAndKeepsTheRest)
{
    Record record;
    Record original;
    CDrivenConfigDlg dlg(record.bytes, [](CDrivenConfigDlg& d) {
        d.Type(IDC_IP_ADDRESS, 0x0A000005);
        d.Type(IDC_SUBNET_MASK, 0xFF000000);
        d.Type(IDC_GATEWAY, 0x0A000001);
        d.Type(IDC_DNS_SERVER, 0x01010101);
        d.Press(IDOK);
    });
    EXPECT_EQ(IDOK, dlg.DoModal());
    const uint8_t expected[16] = {0x05, 0, 0, 0x0A, 0, 0, 0, 0xFF, 0x01, 0, 0, 0x0A, 1, 1, 1, 1};
    EXPECT_EQ(0, std::memcmp(expected, record.bytes, 16));
    EXPECT_EQ(0, std::memcmp(original.bytes + 16, record.bytes + 16, 84));
}

TEST(ConfigBrickDlg, OkWithoutChangesLeavesTheRecordAsReceived)
{
    Record record;
    Record original;
    CDrivenConfigDlg dlg(record.bytes, [](CDrivenConfigDlg& d) { d.Press(IDOK); });
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_EQ(0, std::memcmp(original.bytes, record.bytes, 100));
}

TEST(ConfigBrickDlg, SetDhcpWritesFourZeroAddressesAndEndsWithOk)
{
    Record record;
    Record original;
    CDrivenConfigDlg dlg(record.bytes, [](CDrivenConfigDlg& d) { d.Press(IDC_SET_DHCP); });
    EXPECT_EQ(IDOK, dlg.DoModal());
    const uint8_t zeros[16] = {};
    EXPECT_EQ(0, std::memcmp(zeros, record.bytes, 16));
    EXPECT_EQ(0, std::memcmp(original.bytes + 16, record.bytes + 16, 84));
}

TEST(ConfigBrickDlg, CancelOrClosingLeavesTheRecordUntouched)
{
    for (UINT how : {0u, 1u}) {
        Record record;
        Record original;
        CDrivenConfigDlg dlg(record.bytes, [how](CDrivenConfigDlg& d) {
            d.Type(IDC_IP_ADDRESS, 0x01020304);
            if (how == 0)
                d.Press(IDCANCEL);
            else
                d.PostMessage(WM_CLOSE);
        });
        EXPECT_EQ(IDCANCEL, dlg.DoModal()) << how;
        EXPECT_EQ(0, std::memcmp(original.bytes, record.bytes, 100)) << how;
    }
}

TEST(ConfigBrickDlg, EmptyFieldsReadAsZero)
{
    Record record;
    CDrivenConfigDlg dlg(record.bytes, [](CDrivenConfigDlg& d) {
        ::SendMessageA(d.GetDlgItem(IDC_GATEWAY), WM_USER + 100, 0, 0); // clear the field
        d.Press(IDOK);
    });
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_EQ(0u, GetLE32(record.bytes + 8));
    EXPECT_EQ(0xC0A80114u, GetLE32(record.bytes + 0));
}

TEST(ConfigBrickDlg, ResourceCarriesTheTextsAndLayout)
{
    Record record;
    std::string title, hint, dhcp, ok, cancel;
    RECT ipRect = {}, ipExpected = {};
    RECT dhcpRect = {}, dhcpExpected = {};
    CDrivenConfigDlg dlg(record.bytes, [&](CDrivenConfigDlg& d) {
        title = d.GetWindowText();
        hint = d.GetDlgItemText(IDC_DHCP_HINT);
        dhcp = d.GetDlgItemText(IDC_SET_DHCP);
        ok = d.GetDlgItemText(IDOK);
        cancel = d.GetDlgItemText(IDCANCEL);
        ipRect = ControlRectInClient(d.m_hWnd, IDC_IP_ADDRESS);
        ipExpected = ControlRectInPixels(d.m_hWnd, 4 + 77, 32, 100, 15);
        dhcpRect = ControlRectInClient(d.m_hWnd, IDC_SET_DHCP);
        dhcpExpected = ControlRectInPixels(d.m_hWnd, 4, 115, 50, 14);
        d.Press(IDCANCEL);
    });
    dlg.DoModal();
    EXPECT_EQ("Configure IP Information", title);
    EXPECT_EQ("To specify DHCP, click Set DHCP instead.", hint);
    EXPECT_EQ("Set DHCP", dhcp);
    EXPECT_EQ("OK", ok);
    EXPECT_EQ("Cancel", cancel);
    EXPECT_TRUE(::EqualRect(&ipExpected, &ipRect));
    EXPECT_TRUE(::EqualRect(&dhcpExpected, &dhcpRect));
}

TEST(ConfigBrickDlg, NullRecordIsNeverTouched)
{
    CDrivenConfigDlg dlg(nullptr, [](CDrivenConfigDlg& d) { d.Press(IDC_SET_DHCP); });
    EXPECT_EQ(IDOK, dlg.DoModal());
}

} // namespace
