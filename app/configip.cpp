// "Configure IP Info...": reads the selected controller's network settings over
// the configuration datagrams, lets the user change them and sends them back.
#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "../protocol/discovery.h"
#include "../remote/netaddr.h"
#include "../ui/configbrickdlg.h"
#include "../ui/connectdlg.h"
#include "../ui/resource.h"
#include "../util/qvtick.h"
#include "../util/qvtypes.h"
#include "voltarodlg.h"

namespace {

const int CONFIG_ROUNDS = 10;
const uint32_t CONFIG_ROUND_MS = 1000;
const uint32_t CONFIG_IDLE_SLEEP_MS = 25;
const uint32_t CONFIG_SEND_GAP_MS = 250;
const uint32_t NO_RESPONSE_PAUSE_MS = 2000;

} // namespace

void CVOLTARODlg::OnConfigureIP()
{
    uint8_t record[CONFIG_RECORD_SIZE];
    memset(record, 0, sizeof(record));
    SystemEntry* selected = SelectedEntry();
    if (!selected || m_bBusy)
        return;
    const uint32_t target = selected->m_dwAddress;

    // The command serves no ticks of its own, but the modal dialog below does:
    // the list must not change under it.
    m_bBusy = 1;
    OpenProgressWindow();
    ShowStatus("Retrieving IP Configuration...");
    StopDiscovery();

    bool found = false;
    uint32_t foundLocal = 0;
    uint32_t controller = 0;
    const int count = s_bLocalNetworkOff ? 0 : CountIpAddresses();
    for (int i = 0; i < count && !found; ++i) {
        uint32_t mask = 0, local = 0;
        if (!FindAdapterAddress(i, &mask, &local))
            continue;
        for (int round = 0; round < CONFIG_ROUNDS && !found; ++round) {
            ShowStatus("Sending Config Query...");
            CPingSocket socket(local);
            socket.SetLocalMask(mask);
            socket.SendConfigQuery();
            const uint32_t start = GetTick();
            while (!found && TickSince(start) < CONFIG_ROUND_MS) {
                QVSockAddr from;
                memset(&from, 0, sizeof(from));
                const int got = socket.ReceiveConfig(record, from);
                if (got == 0) {
                    SleepMs(CONFIG_IDLE_SLEEP_MS);
                } else if (got == 2) {
                    ShowStatus("Response From " + FormatIPv4(from));
                    if (GetAddress(from) == target) {
                        found = true;
                        foundLocal = local;
                        controller = GetAddress(from);
                    }
                }
            }
        }
    }

    if (!found) {
        ShowStatus("No Response from Target System. Old Version?");
        SleepMs(NO_RESPONSE_PAUSE_MS);
        CloseProgressWindow();
        m_bBusy = 0;
        StartDiscovery();
        return;
    }

    CConfigBrickDlg dialog(record, this);
    if (dialog.DoModal() == IDOK) {
        uint8_t datagram[CONFIG_SET_SIZE];
        PutLE32(datagram, CONFIG_SET);
        memcpy(datagram + 4, record, CONFIG_RECORD_SIZE);
        CPingSocket socket(foundLocal);
        for (int k = 0; k < 4; ++k) {
            // Twice to the controller, twice to everyone: a controller whose
            // address no longer fits the subnet still hears the broadcast.
            const QVSockAddr to = MakeSockAddr(k < 2 ? controller : 0xFFFFFFFFu, PING_PORT);
            socket.SendConfig(to, datagram);
            ShowStatus("IP Config Sent...");
            SleepMs(CONFIG_SEND_GAP_MS);
        }
    }

    ::EnableWindow(GetDlgItem(IDC_START), FALSE);
    ::EnableWindow(GetDlgItem(IDC_START_CONFIGURATOR), FALSE);
    ::EnableWindow(GetDlgItem(IDC_CONFIGURE_IP), FALSE);
    CloseProgressWindow();
    m_bBusy = 0;
    StartDiscovery();
}
