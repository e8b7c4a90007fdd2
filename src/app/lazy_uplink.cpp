#include "app/lazy_uplink.hpp"

#include "app/module_path.hpp"
#include "app/uplink_module.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace orvane::app {

LazyUplink::~LazyUplink() { disconnect(); }

EventUplink& LazyUplink::client() {
  if (auto* c = client_.load()) return *c;
  std::lock_guard lock(load_mutex_);
  if (auto* c = client_.load()) return *c;
  try {
    void* handle =
        open_module(find_module(kUplinkModuleFile), kUplinkVersionSymbol, "the FTP module of orvane-emulator");
    auto* make = reinterpret_cast<MakeUplinkFn*>(::dlsym(handle, kMakeUplinkSymbol));
    if (make == nullptr) throw std::runtime_error(std::string(kUplinkModuleFile) + " has no FTP client");
    owned_.reset(make());
  } catch (const std::exception& e) {
    if (!failure_told_) {
      // One write: this runs on the upload side, beside the station's own
      // output, and a line told in pieces would come out torn between others.
      const std::string line = std::string("orvane-emulator: events cannot be delivered: ") + e.what() + "\n";
      [[maybe_unused]] const auto n = ::write(STDERR_FILENO, line.data(), line.size());
    }
    failure_told_ = true;
    throw;
  }
  client_ = owned_.get();
  // A cancel that came while the module was loading reaches the client too.
  if (cancelled_) owned_->cancel();
  return *owned_;
}

void LazyUplink::connect(const UplinkTarget& target) { client().connect(target); }

bool LazyUplink::connected() const {
  const auto* c = client_.load();
  return c != nullptr && c->connected();
}

void LazyUplink::change_dir(const std::string& path) { client().change_dir(path); }

void LazyUplink::store(const std::string& name, std::string_view bytes) { client().store(name, bytes); }

void LazyUplink::disconnect() noexcept {
  if (auto* c = client_.load()) c->disconnect();
}

void LazyUplink::cancel() noexcept {
  cancelled_ = true;
  if (auto* c = client_.load()) c->cancel();
}

}  // namespace orvane::app
