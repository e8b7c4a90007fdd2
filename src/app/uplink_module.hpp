// The boundary between orvane-emulator and its FTP module
// (orvane-emulator-ftp.so). libcurl and the libraries it brings (TLS,
// Kerberos, LDAP, SSH: some 5 MiB resident) are mapped only when the first
// upload starts, not by an idle station.
#pragma once
#include "station/event_uplink.hpp"

namespace orvane::app {

// Makes the module's FTP client (FtpUplink with its default time-outs).
using MakeUplinkFn = EventUplink*();

inline constexpr const char* kUplinkModuleFile = "orvane-emulator-ftp.so";
inline constexpr const char* kMakeUplinkSymbol = "orvane_emulator_make_ftp_uplink";
// The client is deleted by the executable through EventUplink's table, so
// only a module of the same build version is taken.
inline constexpr const char* kUplinkVersionSymbol = "orvane_emulator_ftp_version";

}  // namespace orvane::app
