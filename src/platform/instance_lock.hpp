// Single instance: a lock file that names the process holding it.
//
// A station process holds an flock on the file for its whole life. A fleet
// host holding thousands of stations can't spend a descriptor on each, so
// it holds a station by the record alone: the file names the holder's pid
// and the start time of that process, written under a short flock. Either
// way the record is checked under the flock, so a station is never run
// twice, by stations, fleets or a mix; a record left by a process that has
// ended (the pid gone, or reused by a process that started later) holds
// nothing.
#pragma once
#include <filesystem>
#include <optional>
#include <string>

namespace orvane {

class InstanceLock {
 public:
  enum class Hold {
    descriptor,  // the flock, for the life of the lock
    record,  // only the record in the file: no descriptor kept
  };

  // Takes the lock, or nothing when another process (or, by record,
  // another holder in this one) has it. Throws std::system_error when the
  // lock file can't be created.
  static std::optional<InstanceLock> acquire(const std::filesystem::path& path, Hold hold = Hold::descriptor);
  // $XDG_RUNTIME_DIR/OrvaneEmulator.lock, or /tmp/OrvaneEmulator.lock.
  static std::filesystem::path default_path();

  InstanceLock(InstanceLock&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; other.path_.clear(); }
  InstanceLock& operator=(InstanceLock&&) = delete;
  InstanceLock(const InstanceLock&) = delete;
  // Clears the record; closing the descriptor releases the flock.
  ~InstanceLock();

 private:
  InstanceLock(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::filesystem::path path_;  // for a record's release
};

// "PID STARTTIME" of this process, as a lock file records it.
std::string lock_record_of_this_process();

}  // namespace orvane
