#include "configbrickdlg.h"

#include "../util/qvtypes.h"
#include "resource.h"

CConfigBrickDlg::CConfigBrickDlg(uint8_t* record, CWnd* parent)
    : CDialog(IDD_CONFIG_BRICK, parent), m_pRecord(record)
{
}

void CConfigBrickDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_IP_ADDRESS, m_IPAddress);
    DDX_Control(pDX, IDC_SUBNET_MASK, m_SubnetMask);
    DDX_Control(pDX, IDC_GATEWAY, m_Gateway);
    DDX_Control(pDX, IDC_DNS_SERVER, m_DnsServer);
}

BOOL CConfigBrickDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    if (m_pRecord) {
        // The control shows the value's most significant byte leftmost; the
        // record's little-endian value goes in unchanged.
        m_IPAddress.SetAddress(GetLE32(m_pRecord + 0));
        m_SubnetMask.SetAddress(GetLE32(m_pRecord + 4));
        m_Gateway.SetAddress(GetLE32(m_pRecord + 8));
        m_DnsServer.SetAddress(GetLE32(m_pRecord + 12));
    }
    return TRUE;
}

void CConfigBrickDlg::OnOK()
{
    DWORD ip = 0, mask = 0, gateway = 0, dns = 0;
    m_IPAddress.GetAddress(ip);
    m_SubnetMask.GetAddress(mask);
    m_Gateway.GetAddress(gateway);
    m_DnsServer.GetAddress(dns);
    if (m_pRecord) {
        PutLE32(m_pRecord + 0, ip);
        PutLE32(m_pRecord + 4, mask);
        PutLE32(m_pRecord + 8, gateway);
        PutLE32(m_pRecord + 12, dns);
    }
    EndDialog(IDOK);
}

void CConfigBrickDlg::OnSetDhcp()
{
    m_IPAddress.SetAddress(0);
    m_SubnetMask.SetAddress(0);
    m_Gateway.SetAddress(0);
    m_DnsServer.SetAddress(0);
    OnOK();
}

BOOL CConfigBrickDlg::OnCommand(UINT id, UINT code, HWND hwndCtl)
{
    if (id == IDC_SET_DHCP && code == BN_CLICKED) {
        OnSetDhcp();
        return TRUE;
    }
    return CDialog::OnCommand(id, code, hwndCtl);
}
