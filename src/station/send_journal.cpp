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

FileIdentity identity_of(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {true, st.st_dev, st.st_ino};
}

// "<dev> <ino> <last ms>" then "<name> <line>" per named line, CR LF after
// each. Anything else reads as no journal: its names are not reused.
void SendJournal::read() {
  buffer_ = {};
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
  std::string dev, ino, last;
  if (!(head >> dev >> ino >> last)) return;
  FileIdentity id{true, 0, 0};
  long long last_ms = 0;
  if (!parse_number(dev, id.dev) || !parse_number(ino, id.ino) || !parse_number(last, last_ms)) return;
  std::vector<Entry> entries;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto space = lines[i].find(' ');
    if (space == std::string::npos) return;
    entries.push_back({lines[i].substr(0, space), lines[i].substr(space + 1)});
  }
  // Even a journal that no longer holds keeps the last name given: the
  // names it handed out may be on the host already.
  last_ms_ = std::max(last_ms_, last_ms);
  buffer_ = id;
  entries_ = std::move(entries);
}

void SendJournal::write() {
  std::string out = std::to_string(buffer_.dev) + " " + std::to_string(buffer_.ino) + " " +
                    std::to_string(last_ms_) + "\r\n";
  for (const auto& e : entries_) out += e.name + " " + e.line + "\r\n";
  write_file_atomic(file_, out);
  sync_dir(file_);
}

std::vector<std::string> SendJournal::prepare(const FileIdentity& buffer, const std::vector<std::string>& head,
                                              LocalTime now) {
  read();
  bool holds = buffer_ == buffer && entries_.size() <= head.size();
  for (std::size_t i = 0; holds && i < entries_.size(); ++i) holds = entries_[i].line == head[i];
  if (!holds) entries_.clear();
  buffer_ = buffer;

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

void SendJournal::removed(const FileIdentity& buffer, std::size_t removed) {
  if (removed == 0) return;
  entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(std::min(removed, entries_.size())));
  buffer_ = buffer;
  write();
}

}  // namespace orvane
