#include "station/send_journal.hpp"

#include "core/text_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <iterator>
#include <sstream>

namespace orvane {
namespace {

constexpr long long kDayMs = 24LL * 3600 * 1000;

template <typename T>
bool parse_number(std::string_view text, T& out) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

// "<dev> <ino> <offset> <last ms>", then "<dev> <ino> <offset>" of the file
// replacing it during a swap, then "<name> <line>" per named line, CR LF
// after each. A first line of three numbers ("<dev> <ino> <last ms>") is a
// journal of a file that was replaced at every removal: its offset is 0.
// Anything else reads as no journal: its names are not reused.
void SendJournal::read() {
  buffer_ = {};
  next_ = {};
  entries_.clear();
  std::ifstream in(file_, std::ios::binary);
  if (!in) return;
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const auto end = bytes.find("\r\n", start);
    if (end == std::string::npos) return;  // not a journal this code wrote
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  if (lines.empty()) return;
  std::istringstream head(lines[0]);
  std::vector<std::string> fields;
  for (std::string f; head >> f;) fields.push_back(f);
  if (fields.size() == 3) fields.insert(fields.begin() + 2, "0");
  if (fields.size() != 4 && fields.size() != 7) return;
  BufferPosition at{{true, 0, 0}, 0};
  long long last_ms = 0;
  if (!parse_number(fields[0], at.file.dev) || !parse_number(fields[1], at.file.ino) ||
      !parse_number(fields[2], at.offset) || !parse_number(fields[3], last_ms))
    return;
  BufferPosition next;
  if (fields.size() == 7) {
    next.file.valid = true;
    if (!parse_number(fields[4], next.file.dev) || !parse_number(fields[5], next.file.ino) ||
        !parse_number(fields[6], next.offset))
      return;
  }
  std::vector<Entry> entries;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto space = lines[i].find(' ');
    if (space == std::string::npos) return;
    entries.push_back({lines[i].substr(0, space), lines[i].substr(space + 1)});
  }
  // Even a journal that no longer holds keeps the last name given: the
  // names it handed out may be on the host already.
  last_ms_ = std::max(last_ms_, last_ms);
  buffer_ = at;
  next_ = next;
  entries_ = std::move(entries);
}

void SendJournal::write() {
  auto position = [](const BufferPosition& p) {
    return std::to_string(p.file.dev) + " " + std::to_string(p.file.ino) + " " + std::to_string(p.offset);
  };
  std::string out = position(buffer_) + " " + std::to_string(last_ms_);
  if (next_.file.valid) out += " " + position(next_);
  out += "\r\n";
  for (const auto& e : entries_) out += e.name + " " + e.line + "\r\n";
  write_file_atomic(file_, out);
  sync_dir(file_);
}

bool SendJournal::holds_at(const BufferPosition& at, std::size_t& skip) const {
  skip = 0;
  if (next_.file.valid && next_ == at) return true;
  if (!(buffer_.file == at.file) || at.offset < buffer_.offset) return false;
  // Lines removed after the journal was last written lie between its
  // position and the buffer's head: the head must fall where one of its
  // lines starts.
  std::uint64_t offset = buffer_.offset;
  while (offset < at.offset && skip < entries_.size()) offset += entries_[skip++].line.size() + 2;
  return offset == at.offset;
}

void SendJournal::follow(const BufferPosition& now, const BufferPosition& next) {
  read();
  std::size_t skip = 0;
  if (holds_at(now, skip)) {
    entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(skip));
  } else {
    entries_.clear();
  }
  buffer_ = now;
  next_ = next;
  write();
}

std::vector<std::string> SendJournal::prepare(const BufferPosition& buffer, const std::vector<std::string>& head,
                                              LocalTime now) {
  read();
  std::size_t skip = 0;
  bool holds = holds_at(buffer, skip);
  if (holds) entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(skip));
  holds = holds && entries_.size() <= head.size();
  for (std::size_t i = 0; holds && i < entries_.size(); ++i) holds = entries_[i].line == head[i];
  if (!holds) entries_.clear();
  buffer_ = buffer;
  next_ = {};

  // Names are the local time to the millisecond, unique and increasing: a
  // batch takes consecutive milliseconds from now, or from just after the
  // last name given when that is later (a batch named ahead of the clock,
  // or the clock stepped back). Counting in whole milliseconds rather than
  // in names carries the names across midnight. A last name more than a day
  // ahead means the clock was set back that far: the names start again from
  // now, as they are only unique within a day anyway.
  const long long now_ms = now.time_since_epoch().count();
  if (last_ms_ > now_ms + kDayMs) last_ms_ = -1;
  for (std::size_t i = entries_.size(); i < head.size(); ++i) {
    last_ms_ = std::max(now_ms, last_ms_ + 1);
    entries_.push_back({"Emulate" + stamp_hhnnsszzz(LocalTime{std::chrono::milliseconds{last_ms_}}), head[i]});
  }
  write();
  std::vector<std::string> names;
  names.reserve(head.size());
  for (std::size_t i = 0; i < head.size(); ++i) names.push_back(entries_[i].name);
  return names;
}

void SendJournal::removed(const BufferPosition& buffer, std::size_t removed) {
  if (removed == 0) return;
  entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(std::min(removed, entries_.size())));
  buffer_ = buffer;
  next_ = {};
  write();
}

}  // namespace orvane
