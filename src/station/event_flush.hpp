// A flush shared by many event buffers: lines appended by several stations
// are made durable together (one flush of the file system for all of them)
// instead of one flush per station, and each station is told afterwards
// whether its lines are on disk. A station process has none: each event
// check flushes its own lines.
#pragma once
#include <filesystem>
#include <functional>

namespace orvane {

class EventFlushGroup {
 public:
  virtual ~EventFlushGroup() = default;
  // `file` has been appended to; `done(flushed)` runs later on the
  // station's thread, once a flush that covers what was written has ended.
  virtual void after_flush(const std::filesystem::path& file, std::function<void(bool flushed)> done) = 0;
  // The same for a file written whole that takes its name once flushed (a
  // replacement), which is not counted as an event append.
  virtual void after_file_flush(const std::filesystem::path& file, std::function<void(bool flushed)> done) = 0;
};

}  // namespace orvane
