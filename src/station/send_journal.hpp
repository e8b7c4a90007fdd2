// The names the event uplink stores the buffer's first lines under, kept in
// "Event.Snd" beside "Event.Sav" so that a line keeps its remote name until
// it leaves the buffer, across a kill at any instant. Storing a line again
// then overwrites the host's file of it instead of adding a second one.
//
// The journal belongs to a position in one "Event.Sav" file: the file's
// identity (device and inode) and the offset its first named line starts
// at. Removing delivered lines moves the offset; replacing the file (when
// its removed prefix is cut away) is announced to the journal before the
// swap, so either file holds it after a kill. A journal whose position is
// not the buffer's head (nor a line boundary inside its own lines), or
// whose lines are not the buffer's first lines, names lines that were
// removed or rewritten: its names are never given to the lines now at the
// head, even when their text is the same.
//
// Not thread-safe: the delivery uses it under its upload lock.
#pragma once
#include "core/local_time.hpp"
#include "station/event_buffer.hpp"

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace orvane {

class SendJournal {
 public:
  // `file`: the journal ("Event.Snd" beside "Event.Sav").
  explicit SendJournal(std::filesystem::path file) : file_(std::move(file)) {}

  // Names for `head`, the buffer's first lines, which start at `buffer`:
  // the journal's names where it still holds for them, fresh ones
  // after. The journal is on disk (fsynced, folder too) before this returns,
  // so nothing may be stored under a name it does not hold. Throws
  // std::system_error when it can't be written.
  std::vector<std::string> prepare(const BufferPosition& buffer, const std::vector<std::string>& head, LocalTime now);

  // The first `removed` named lines left the buffer, whose head is now at
  // `buffer`: the rest keep their names. Throws std::system_error.
  void removed(const BufferPosition& buffer, std::size_t removed);

  // The buffer's file, whose head is at `now`, is about to be replaced by
  // one whose first line is at `next`: the names hold for both until the
  // next prepare or removal. Throws std::system_error (the file must then
  // not be replaced).
  void follow(const BufferPosition& now, const BufferPosition& next);

  const std::filesystem::path& file() const { return file_; }

 private:
  struct Entry {
    std::string name;
    std::string line;
  };
  void read();
  void write();

  std::filesystem::path file_;
  // Whether the journal's first line starts at `at`; `skip` tells how many
  // of its lines lie before it (removed while the journal was not told).
  bool holds_at(const BufferPosition& at, std::size_t& skip) const;

  BufferPosition buffer_;
  BufferPosition next_;  // the file replacing buffer_'s, during a swap
  std::vector<Entry> entries_;
  long long last_ms_ = -1;  // the last name given, as local epoch milliseconds
};

}  // namespace orvane
