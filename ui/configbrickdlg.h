// The controller IP configuration dialog: shows the first four fields of a
// configuration record and writes them back on OK or Set DHCP.
#pragma once
#include <cstdint>

#include "framework.h"

// Bytes of the record that the dialog reads and writes: four 32-bit
// little-endian addresses (IP, subnet mask, gateway, DNS server).
const int CONFIG_RECORD_ADDRESS_BYTES = 16;

class CConfigBrickDlg : public CDialog
{
  public:
    // 'record' is the caller's configuration record; only its first 16 bytes are
    // touched, and only when the dialog ends with OK.
    CConfigBrickDlg(uint8_t* record, CWnd* parent = nullptr);

    BOOL OnInitDialog() override;
    void OnOK() override;
    BOOL OnCommand(UINT id, UINT code, HWND hwndCtl) override;
    void DoDataExchange(CDataExchange* pDX) override;
    // DHCP is four zero addresses.
    void OnSetDhcp();

  protected:
    uint8_t* m_pRecord;
    CIPAddressCtrl m_IPAddress;
    CIPAddressCtrl m_SubnetMask;
    CIPAddressCtrl m_Gateway;
    CIPAddressCtrl m_DnsServer;
};
