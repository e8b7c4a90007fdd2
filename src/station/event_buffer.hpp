// The event buffer: pending event lines, kept in "Event.Sav" so that every
// line counted as buffered survives a crash or a kill at any instant.
//
// The file always holds exactly the buffer, one line per event, CR LF after
// each. Adding appends the line and fdatasyncs it before it counts, so the
// cost of an add does not depend on how many lines wait; removing delivered
// lines replaces the file atomically. The station thread adds while the
// dial-up worker may be uploading and removing: every member is safe from
// any thread.
#pragma once
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace orvane {

class EventBuffer {
 public:
  // Replaces the buffer with the file's lines when the file exists, and
  // makes it the file later changes go to. A last line without a line end
  // (torn by a crash in an older version) is kept as it is and the file is
  // rewritten with its line end; the return value says so, for the log.
  struct LoadResult {
    bool torn_last_line = false;
  };
  LoadResult load(const std::filesystem::path& file);

  // Names the file without reading it (before start-up has loaded it).
  void use_file(const std::filesystem::path& file);

  // Appends one line and flushes it durably. Returns the number of lines now
  // buffered. On a failed write the file is cut back to what it held, the
  // line is not buffered and std::system_error is thrown. A line holding a
  // CR or LF would come back as two events, so it is refused
  // (std::invalid_argument).
  std::size_t add(const std::string& line);

  // Removes the first `count` lines (the ones an upload stored), keeping the
  // lines added since. The file is replaced atomically first; when that
  // fails nothing is removed (the lines are sent again rather than lost).
  void remove_front(std::size_t count);

  std::vector<std::string> lines() const;
  std::size_t size() const;
  bool empty() const { return size() == 0; }
  std::filesystem::path file() const;

 private:
  void append_durably(const std::string& bytes);

  mutable std::mutex mutex_;
  std::filesystem::path file_;
  std::vector<std::string> lines_;
  bool dir_synced_ = false;  // the folder entry of a new file is on disk
};

}  // namespace orvane
