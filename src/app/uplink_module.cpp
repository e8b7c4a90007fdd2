// The entry points of orvane-emulator-ftp.so, looked up by name with dlsym.
#include "app/uplink_module.hpp"

#include "net/ftp_uplink.hpp"

#include <type_traits>

extern "C" {

__attribute__((visibility("default"))) extern const char orvane_emulator_ftp_version[] = ORVANE_VERSION;

__attribute__((visibility("default"))) orvane::EventUplink* orvane_emulator_make_ftp_uplink() {
  return new orvane::FtpUplink();
}

}  // extern "C"

static_assert(std::is_same_v<decltype(orvane_emulator_make_ftp_uplink), orvane::app::MakeUplinkFn>);
