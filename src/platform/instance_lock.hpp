// Single instance: an flock'ed lock file held for the life of the process.
#pragma once
#include <filesystem>
#include <optional>

namespace orvane {

class InstanceLock {
 public:
  // Takes the lock, or nothing when another process holds it. Throws
  // std::system_error when the lock file can't be created.
  static std::optional<InstanceLock> acquire(const std::filesystem::path& path);
  // $XDG_RUNTIME_DIR/OrvaneEmulator.lock, or /tmp/OrvaneEmulator.lock.
  static std::filesystem::path default_path();

  InstanceLock(InstanceLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  InstanceLock& operator=(InstanceLock&&) = delete;
  InstanceLock(const InstanceLock&) = delete;
  ~InstanceLock();

 private:
  explicit InstanceLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace orvane
