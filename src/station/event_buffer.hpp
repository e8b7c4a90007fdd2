// The event buffer: pending event lines, kept in "Event.Sav".
#pragma once
#include <filesystem>
#include <string>
#include <vector>

namespace orvane {

class EventBuffer {
 public:
  // Replaces the buffer with the file's lines when the file exists.
  void load(const std::filesystem::path& file);
  const std::vector<std::string>& lines() const { return lines_; }
  std::size_t size() const { return lines_.size(); }

 private:
  std::vector<std::string> lines_;
};

}  // namespace orvane
