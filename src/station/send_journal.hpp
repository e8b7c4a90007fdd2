// The names the event uplink stores the buffer's first lines under, kept in
// "Event.Snd" beside "Event.Sav" so that a line keeps its remote name until
// it leaves the buffer, across a kill at any instant. Storing a line again
// then overwrites the host's file of it instead of adding a second one.
//
// The journal belongs to one "Event.Sav" file: appends keep the file (same
// device and inode), removing delivered lines replaces it with a new one. A
// journal whose file is gone, or whose lines are not the buffer's first
// lines, names lines that were removed: its names are never given to the
// lines now at the head, even when their text is the same.
//
// Not thread-safe: the delivery uses it under its upload lock.
#pragma once
#include "core/local_time.hpp"

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace orvane {

struct FileIdentity {
  bool valid = false;
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileIdentity& o) const { return valid && o.valid && dev == o.dev && ino == o.ino; }
};

// The identity of the file now at `path` (not valid when there is none).
FileIdentity identity_of(const std::filesystem::path& path);

class SendJournal {
 public:
  // `file`: the journal ("Event.Snd" beside "Event.Sav").
  explicit SendJournal(std::filesystem::path file) : file_(std::move(file)) {}

  // Names for `head`, the buffer's first lines, of the "Event.Sav" file
  // `buffer`: the journal's names where it still holds for them, fresh ones
  // after. The journal is on disk (fsynced, folder too) before this returns,
  // so nothing may be stored under a name it does not hold. Throws
  // std::system_error when it can't be written.
  std::vector<std::string> prepare(const FileIdentity& buffer, const std::vector<std::string>& head, LocalTime now);

  // The first `removed` named lines left the buffer, whose file is now
  // `buffer`: the rest keep their names. Throws std::system_error.
  void removed(const FileIdentity& buffer, std::size_t removed);

  const std::filesystem::path& file() const { return file_; }

 private:
  struct Entry {
    std::string name;
    std::string line;
  };
  void read();
  void write();

  std::filesystem::path file_;
  FileIdentity buffer_;
  std::vector<Entry> entries_;
  long long last_ms_ = -1;  // the last name given, as local epoch milliseconds
};

}  // namespace orvane
