// The persistent "configured once" flag: set by the host's first SET_CONFIG,
// never cleared. Absent or unreadable means not set.
#pragma once
#include <filesystem>

namespace orvane {

class ConfiguredFlag {
 public:
  virtual ~ConfiguredFlag() = default;
  virtual bool is_set() const = 0;
  // Failures are swallowed: the station starts all the same.
  virtual void set() = 0;
};

// A file holding "1".
class FileConfiguredFlag final : public ConfiguredFlag {
 public:
  explicit FileConfiguredFlag(std::filesystem::path path) : path_(std::move(path)) {}
  // $XDG_CONFIG_HOME/kelv/emu/1.21/flag (default ~/.config/kelv/emu/1.21/flag).
  static std::filesystem::path default_path();
  bool is_set() const override;
  void set() override;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace orvane
