// The event buffer: pending event lines, kept in "Event.Sav" so that every
// line counted as buffered survives a crash or a kill at any instant.
//
// Adding appends the lines of one event check together and makes them
// durable with one fdatasync before they count, so the cost of an add does
// not depend on how many lines wait. Removing delivered lines does not
// rewrite the file: the byte offset of the first undelivered line is written
// to "Event.Head" beside it (with the identity of the file it belongs to),
// and the removed prefix is cut away from time to time by replacing the file
// with its undelivered lines (always when nothing waits, otherwise once the
// removed prefix outweighs the rest). After a clean stop the file holds
// exactly the undelivered lines; after a kill the file and its head together
// do, and loading reads them that way.
//
// The station thread adds while the upload worker removes: every member is
// safe from any thread, and the worker's disk flushes for a removal are made
// outside the lock the adds take.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
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

// Where the buffer's first line starts: a file and a byte offset in it.
struct BufferPosition {
  FileIdentity file;
  std::uint64_t offset = 0;
  bool operator==(const BufferPosition& o) const { return file == o.file && offset == o.offset; }
};

class EventBuffer {
 public:
  // Makes written bytes durable (fdatasync); a seam so tests can make it
  // fail. Returns 0 or -1 with errno set.
  using DataSync = std::function<int(int fd)>;

  explicit EventBuffer(DataSync data_sync = {});
  // Before the buffer is in use (tests).
  void set_data_sync(DataSync data_sync) { data_sync_ = std::move(data_sync); }

  // Replaces the buffer with the undelivered lines of the file (those from
  // the head on) when the file exists, and makes it the file later changes
  // go to. A last line without a line end (torn by a crash in an older
  // version) is kept as it is and its line end appended; the return value
  // says so, for the log.
  struct LoadResult {
    bool torn_last_line = false;
  };
  LoadResult load(const std::filesystem::path& file);

  // Names the file without reading it (before start-up has loaded it).
  void use_file(const std::filesystem::path& file);

  // Appends the lines in one write and makes them durable with one flush.
  // Returns the number of lines now buffered. On a failed write or flush the
  // file is cut back to what it held, none of the lines is buffered and
  // std::system_error is thrown. A line holding a CR or LF would come back
  // as two events, so it is refused (std::invalid_argument, nothing added).
  std::size_t add_all(const std::vector<std::string>& lines);
  std::size_t add(const std::string& line) { return add_all(std::vector<std::string>{line}); }

  // The same in two steps, for a flush shared with other files: the lines
  // are written now (a failed write cuts them off again and throws) and
  // count only once commit_appended(true) says a flush covered them.
  // Several appends may wait, each committed in the order they were made;
  // commit_appended(false) cuts the oldest off the file together with every
  // later one still waiting, whose own commits then return nothing. While
  // any waits, add_all refuses to run (std::logic_error) and compaction
  // waits for the next time.
  void append_unflushed(const std::vector<std::string>& lines);
  // The number of lines now buffered, or nothing when the oldest waiting
  // append does not count (its flush failed, or an earlier one's did);
  // std::system_error when lines that were not flushed can't be cut off
  // (they are then read back at the next start, as after a crash before
  // the flush).
  std::optional<std::size_t> commit_appended(bool flushed);
  bool has_unflushed() const;

  // The first `count` lines (fewer when fewer wait) and where they start.
  std::vector<std::string> head(std::size_t count) const;
  BufferPosition position() const;

  // Removes the first `count` lines (the ones an upload stored), keeping the
  // lines added since; the new head is on disk first. When it can't be
  // written nothing is removed (the lines are sent again rather than lost)
  // and std::system_error is thrown. One remover at a time.
  void remove_front(std::size_t count);

  // Replaces the file with the undelivered lines when due (or always with
  // `force` while a removed prefix is left). `before_replace` is told where
  // the first line will be in the new file before the new file takes the
  // name, so whatever keeps positions can follow a crash on either side of
  // the swap; it may throw to keep the old file. Returns whether the file
  // was replaced. Same thread as remove_front.
  using BeforeReplace = std::function<void(const BufferPosition& now, const BufferPosition& next)>;
  bool compact(bool force, const BeforeReplace& before_replace = {});

  std::vector<std::string> lines() const;
  std::size_t size() const;
  bool empty() const { return size() == 0; }
  std::filesystem::path file() const;
  std::filesystem::path head_file() const;

  // A removed prefix smaller than this is left until nothing waits.
  static constexpr std::uint64_t kCompactAtLeast = 1 << 20;

 private:
  void write_head(const FileIdentity& file, std::uint64_t offset);
  // The buffer's file opened to append, and its size now (lock held).
  int open_to_append(off_t& size) const;
  int data_sync(int fd) const;

  DataSync data_sync_;
  mutable std::mutex mutex_;
  std::filesystem::path file_;
  struct Line {
    std::string text;
    std::uint32_t bytes;  // on disk, line end included (CR LF, or LF in a file written elsewhere)
  };
  std::deque<Line> lines_;
  std::uint64_t head_ = 0;  // bytes of delivered lines at the file's start
  std::uint64_t live_bytes_ = 0;  // bytes of the buffered lines, line ends included
  bool dir_synced_ = false;  // the folder entry of a new file is on disk
  struct Unflushed {
    std::vector<std::string> lines;
    std::uint64_t before = 0;  // the file's size before them
  };
  std::deque<Unflushed> unflushed_;
  std::size_t cut_waiting_ = 0;  // appends cut off with an earlier one, still to be told
};

}  // namespace orvane
