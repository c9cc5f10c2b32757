// Address and adapter helpers.
#pragma once
#include <cstdint>
#include <string>

#include "../util/qvsocket.h"

void SetBroadcastAddress(QVSockAddr& record); // 255.255.255.255 port 444
void SetLoopbackAddress(QVSockAddr& record);
void SetAddress(QVSockAddr& record, uint32_t value);
uint32_t GetAddress(const QVSockAddr& record);
std::string FormatIPv4(uint32_t value);
std::string FormatIPv4(const QVSockAddr& record);
uint32_t ParseIPv4(const std::string& text);
uint32_t MacToAddress(const uint8_t mac[6]);

// Platform seam over the adapter list.
int CountIpAddresses();
bool FindAdapterAddress(int kind, uint32_t* mask, uint32_t* address);
// The first adapter's hardware address as "%02X-%02X-%02X-%02X-%02X-%02X", or empty.
std::string FirstAdapterMacText();
