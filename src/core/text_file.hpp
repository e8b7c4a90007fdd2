// Station text files: read as lines (CR LF or LF), replaced whole and
// atomically, or grown by appending. Lines are written with CR LF.
#pragma once
#include <sys/types.h>

#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane {

// Lines of a file; CR LF and LF both end a line; a last line without an end
// is kept. Throws std::system_error when the file can't be read.
std::vector<std::string> read_lines(const std::filesystem::path& path);

// Lines of a file, or nothing when it doesn't exist or can't be read.
std::vector<std::string> read_lines_if_exists(const std::filesystem::path& path);

// The whole content of a regular file of at most `max_bytes` bytes; nothing
// when it is missing, unreadable, larger, or not a regular file (a FIFO,
// device or directory). Opened without blocking, so no peer on the other
// end of a FIFO or device can hold the caller.
std::optional<std::string> read_regular_file(const std::filesystem::path& path, std::size_t max_bytes);

// Text cut into lines as read_lines does (CR LF or LF; a last line without
// an end is kept).
std::vector<std::string> split_lines(std::string_view text);

// Lines joined with CR LF after each.
std::string join_crlf(const std::vector<std::string>& lines);

// Who may read a file the helpers below create: anyone (0644 less the
// umask), or its owner only (0600, for a file that may hold a password). A
// file that is replaced keeps the mode and, where the system lets us, the
// owner and group of the file it replaces.
enum class NewFile { readable, owner_only };

// Replaces the file whole: writes a temporary file beside it, flushes and
// fsyncs it, renames it over the target. Throws std::system_error.
void write_file_atomic(const std::filesystem::path& path, std::string_view content,
                       NewFile created = NewFile::readable);
// A replacement in two turns of the loop, for a file whose flush would be
// felt in one: made, it writes the temporary file and starts its
// write-back; commit(), a turn later, flushes what is left and renames it
// over the target (throws std::system_error). One never committed leaves
// the target as it was.
class StagedReplacement {
 public:
  StagedReplacement(const std::filesystem::path& path, std::string_view content, NewFile created = NewFile::readable);
  ~StagedReplacement();
  StagedReplacement(const StagedReplacement&) = delete;
  StagedReplacement& operator=(const StagedReplacement&) = delete;
  void commit();

 private:
  std::filesystem::path path_, tmp_;
};

// Several files replaced whole, as write_file_atomic replaces one, with one
// flush of each file system they are on rather than one per file: all are
// written, flushed, then renamed over their targets in order.
struct Replacement {
  const std::filesystem::path& path;
  std::string_view content;
  NewFile created = NewFile::readable;
};
// The work a few files at a time, over turns of the loop: step() writes or
// renames up to `budget` files, or flushes (a step of its own), and is true
// once all is done. One that can't be written ends the list (those before
// it are still replaced) and step() throws std::system_error at the end;
// replaced() tells how many (from the first) took their places. Temporary
// files left are removed with the batch. The paths and texts must outlive it.
class ReplacementBatch {
 public:
  explicit ReplacementBatch(std::vector<Replacement> files);
  ~ReplacementBatch();
  ReplacementBatch(const ReplacementBatch&) = delete;
  ReplacementBatch& operator=(const ReplacementBatch&) = delete;
  // `go_on`, when given, is asked after each file: false ends the step.
  bool step(std::size_t budget, const std::function<bool()>& go_on = {});
  std::size_t replaced() const { return replaced_; }

 private:
  std::vector<Replacement> files_;
  std::vector<std::filesystem::path> tmps_;
  std::vector<std::pair<dev_t, std::size_t>> devices_;  // each one's first temporary file
  std::exception_ptr failed_;
  bool flushed_ = false;
  std::size_t replaced_ = 0;
};
void write_lines_atomic(const std::filesystem::path& path, const std::vector<std::string>& lines,
                        NewFile created = NewFile::readable);

// Gives the open file `fd`, about to take the place of `path`, the mode,
// owner and group of the file now there (best effort: what the system
// refuses is left as it is). False when there is no such file.
bool take_mode_of(const std::filesystem::path& path, int fd);

// A replacement whose flush is shared, for a file replaced again and again:
// `content` goes into the spare file beside `path` (its name returned),
// written but not flushed. Once a flush of its file system covered it,
// exchange_spare() puts it in the place of `path`, whose old content becomes
// the spare for next time. No file is created or freed after the first
// time (where thousands were freed just now, making a file can cost a
// millisecond). Until exchanged, `path` is as it was. Throws std::system_error.
std::filesystem::path write_spare_unflushed(const std::filesystem::path& path, std::string_view content);
// The exchange (a plain rename where the file system can't exchange names);
// false with errno set when it failed.
bool exchange_spare(const std::filesystem::path& spare, const std::filesystem::path& path);

// Appends bytes to the file (creating it, never its folder) and flushes them
// to the kernel; with `durable`, also fsyncs. Throws std::system_error.
void append_file(const std::filesystem::path& path, std::string_view bytes, bool durable = false);

// Syncs the folder holding `file`, so that a file created or renamed there
// keeps its name after a crash. Best effort: failures are ignored.
void sync_dir(const std::filesystem::path& file);

// Appends one line with CR LF, first ending a last line that has no line
// end, so the file reads as if it had been loaded, grown and written whole.
void append_line(const std::filesystem::path& path, std::string_view line, bool durable = false);

}  // namespace orvane
