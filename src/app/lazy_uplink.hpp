// The station's FTP client, loaded from orvane-emulator-ftp.so at the first
// upload: until then the process carries none of libcurl's libraries.
#pragma once
#include "station/event_uplink.hpp"

#include <atomic>
#include <memory>
#include <mutex>

namespace orvane::app {

// Every call but cancel() comes from the one thread that uploads.
class LazyUplink final : public EventUplink {
 public:
  LazyUplink() = default;
  ~LazyUplink() override;
  LazyUplink(const LazyUplink&) = delete;
  LazyUplink& operator=(const LazyUplink&) = delete;

  // Loads the module first; a module that can't be loaded fails the
  // connect (said once on stderr) and is tried again at the next.
  void connect(const UplinkTarget& target) override;
  bool connected() const override;
  void change_dir(const std::string& path) override;
  void store(const std::string& name, std::string_view bytes) override;
  void disconnect() noexcept override;
  void cancel() noexcept override;

  bool loaded() const { return client_.load() != nullptr; }

 private:
  EventUplink& client();

  std::mutex load_mutex_;
  std::unique_ptr<EventUplink> owned_;
  std::atomic<EventUplink*> client_{nullptr};
  std::atomic<bool> cancelled_{false};
  bool failure_told_ = false;
};

}  // namespace orvane::app
