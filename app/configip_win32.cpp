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
#include "../protocol/attempt.h"
#include "configip.h"

namespace
{

const int CONFIG_ROUNDS = 10;
const uint32_t CONFIG_ROUND_MS = 1000;
const uint32_t CONFIG_IDLE_SLEEP_MS = 25;
const uint32_t CONFIG_SEND_GAP_MS = 250;
const uint32_t NO_RESPONSE_PAUSE_MS = 2000;

} // namespace

bool RunConfigureIp(CWnd* parent, CConnectDlg* progress, uint32_t target, bool localNetworkOff)
{
    uint8_t record[CONFIG_RECORD_SIZE];
    memset(record, 0, sizeof(record));
    AttemptStatus(progress, "Retrieving IP Configuration...");

    bool found = false;
    uint32_t foundLocal = 0;
    uint32_t controller = 0;
    const int count = localNetworkOff ? 0 : CountIpAddresses();
    for (int i = 0; i < count && !found; ++i) {
        uint32_t mask = 0, local = 0;
        if (!FindAdapterAddress(i, &mask, &local)) continue;
        for (int round = 0; round < CONFIG_ROUNDS && !found; ++round) {
            AttemptStatus(progress, "Sending Config Query...");
            CPingSocket socket(local);
            socket.SetLocalMask(mask);
            socket.SendConfigQuery();
            const uint32_t start = GetTick();
            while (!found && TickSince(start) < CONFIG_ROUND_MS) {
                QVSockAddr from;
                memset(&from, 0, sizeof(from));
                const int got = socket.ReceiveConfig(record, from);
                if (got == 0) {
                    if (!AttemptSleep(progress, CONFIG_IDLE_SLEEP_MS)) return false;
                } else if (got == 2) {
                    AttemptStatus(progress, ("Response From " + FormatIPv4(from)).c_str());
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
        AttemptStatus(progress, "No Response from Target System. Old Version?");
        AttemptSleep(progress, NO_RESPONSE_PAUSE_MS);
        return false;
    }

    CConfigBrickDlg dialog(record, parent);
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
            AttemptStatus(progress, "IP Config Sent...");
            AttemptSleep(nullptr, CONFIG_SEND_GAP_MS);
        }
    }
    return true;
}
