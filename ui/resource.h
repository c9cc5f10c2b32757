// Resource and control ids of the launcher's windows. Shared by the resource
// script and the code, so plain #defines only.
#pragma once

// Dialogs
#define IDD_RERUDI_DIALOG 102
#define IDD_CONNECT 130
#define IDD_CONFIG_BRICK 134
#define IDD_HELP 140

// Icon, bitmap
#define IDR_MAINFRAME 128
#define IDB_BANNER 129

// Main window (102)
#define IDC_BANNER 1001
#define IDC_SYSTEM_NAME 1002
#define IDC_PASSWORD 1003
#define IDC_SYSTEM_LIST 1010
#define IDC_SYSTEM_NAME_LABEL 1011
#define IDC_PASSWORD_LABEL 1012
#define IDC_START 1014
#define IDC_START_CONFIGURATOR 1015
#define IDC_OPTIONS 1017
#define IDC_CONFIGURE_IP 1020
#define IDC_VERSION 1022
#define ID_SHOW_HELP 1027 // a command only: no control sends it
#define IDC_LOCAL_SYSTEMS_LABEL 1033
#define IDC_PRIVACY_POLICY 1036

// Progress window (130)
#define IDC_CONNECT_CANCEL 1018
#define IDC_STATUS_LIST 1019
#define IDC_PROGRESS 1040

// IP configuration (134)
#define IDC_IP_ADDRESS 1021
#define IDC_SUBNET_MASK 1022
#define IDC_GATEWAY 1023
#define IDC_DNS_SERVER 1024
#define IDC_SET_DHCP 1026
#define IDC_DHCP_HINT 1035

// Help text (140)
#define IDC_HELP_TEXT 1041
