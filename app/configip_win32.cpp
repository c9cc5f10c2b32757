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

// How the search for the target's configuration record ended.
enum class RecordSearch { Found, NotFound, Cancelled };

// One query from one adapter and a round's wait for the answers; every answer is
// shown, only the target's ends the search.
RecordSearch AskOnce(CConnectDlg* progress, uint32_t target, uint32_t local, uint32_t mask,
                     uint8_t record[CONFIG_RECORD_SIZE])
{
    AttemptStatus(progress, "Sending Config Query...");
    CPingSocket socket(local);
    socket.SetLocalMask(mask);
    socket.SendConfigQuery();
    const uint32_t start = GetTick();
    while (TickSince(start) < CONFIG_ROUND_MS) {
        QVSockAddr from;
        memset(&from, 0, sizeof(from));
        switch (socket.ReceiveConfig(record, from)) {
        case PingReceive::Nothing:
            if (!AttemptSleep(progress, CONFIG_IDLE_SLEEP_MS)) return RecordSearch::Cancelled;
            break;
        case PingReceive::Ignored:
            break;
        case PingReceive::Taken:
            AttemptStatus(progress, ("Response From " + FormatIPv4(from)).c_str());
            if (GetAddress(from) == target) return RecordSearch::Found;
            break;
        }
    }
    return RecordSearch::NotFound;
}

// Asks from each adapter in turn, CONFIG_ROUNDS times, until the target answers;
// *local is then the adapter's address that heard it.
RecordSearch FindRecord(CConnectDlg* progress, uint32_t target, int adapters,
                        uint8_t record[CONFIG_RECORD_SIZE], uint32_t* local)
{
    for (int i = 0; i < adapters; ++i) {
        uint32_t mask = 0, address = 0;
        if (!FindAdapterAddress(i, &mask, &address)) continue;
        for (int round = 0; round < CONFIG_ROUNDS; ++round) {
            const RecordSearch search = AskOnce(progress, target, address, mask, record);
            if (search == RecordSearch::NotFound) continue;
            *local = address;
            return search;
        }
    }
    return RecordSearch::NotFound;
}

void SendRecord(CConnectDlg* progress, const uint8_t record[CONFIG_RECORD_SIZE], uint32_t local,
                uint32_t controller)
{
    uint8_t datagram[CONFIG_SET_SIZE];
    PutLE32(datagram, CONFIG_SET);
    memcpy(datagram + 4, record, CONFIG_RECORD_SIZE);
    CPingSocket socket(local);
    for (int k = 0; k < 4; ++k) {
        // Twice to the controller, twice to everyone: a controller whose
        // address no longer fits the subnet still hears the broadcast.
        const QVSockAddr to = MakeSockAddr(k < 2 ? controller : 0xFFFFFFFFu, PING_PORT);
        socket.SendConfig(to, datagram);
        AttemptStatus(progress, "IP Config Sent...");
        AttemptSleep(nullptr, CONFIG_SEND_GAP_MS);
    }
}

} // namespace

bool RunConfigureIp(CWnd* parent, CConnectDlg* progress, uint32_t target, bool localNetworkOff)
{
    uint8_t record[CONFIG_RECORD_SIZE];
    memset(record, 0, sizeof(record));
    AttemptStatus(progress, "Retrieving IP Configuration...");

    uint32_t local = 0;
    const int adapters = localNetworkOff ? 0 : CountIpAddresses();
    switch (FindRecord(progress, target, adapters, record, &local)) {
    case RecordSearch::Cancelled:
        return false;
    case RecordSearch::NotFound:
        AttemptStatus(progress, "No Response from Target System. Old Version?");
        AttemptSleep(progress, NO_RESPONSE_PAUSE_MS);
        return false;
    case RecordSearch::Found:
        break;
    }

    CConfigBrickDlg dialog(record, parent);
    if (dialog.DoModal() == IDOK) SendRecord(progress, record, local, target);
    return true;
}
