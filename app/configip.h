// "Configure IP Info...": reads a controller's network settings over the
// configuration datagrams, lets the user change them and sends them back.
#pragma once
#include <cstdint>

class CConnectDlg;
class CWnd;

// Asks every local adapter's network for the record of the controller at target,
// reporting to the progress window and asking it at every wait; shows the
// dialog and sends the changes. false when the controller never answered.
bool RunConfigureIp(CWnd* parent, CConnectDlg* progress, uint32_t target, bool localNetworkOff);
