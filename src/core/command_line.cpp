#include "core/command_line.hpp"

#include "core/byte_scan.hpp"
#include "core/comma_text.hpp"
#include "core/protocol.hpp"

#include <algorithm>
#include <cstring>

namespace orvane {

namespace {

// The first blank (0..32) or comma in [p, end), or end.
const char* find_separator(const char* begin, const char* p, const char* end) {
  return find_byte_in(begin, p, end, 0, 32, ',');
}

}  // namespace

// The comma-text rule, written for speed: every request line of every host
// goes through here. Its results equal split_comma_text(trim(line)).
void split_command_line(std::string_view line, std::vector<std::string>& items) {
  line = trim(line);
  if (const auto nul = line.find('\0'); nul != std::string_view::npos) line = line.substr(0, nul);
  const char* p = line.data();
  const char* const end = p + line.size();
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  // The strings already in `items` are written over, so a reused list
  // costs no allocation for items that fit the storage they have.
  std::size_t count = 0;
  auto next_item = [&]() -> std::string& {
    if (count == items.size()) items.emplace_back();
    std::string& item = items[count++];
    item.clear();
    return item;
  };
  while (p < end) {
    if (*p == '"') {
      ++p;
      std::string& item = next_item();
      for (;;) {
        const char* q = static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
        if (!q) {
          item.append(p, end);
          p = end;
          break;
        }
        item.append(p, q);
        p = q + 1;
        if (p < end && *p == '"') {
          item += '"';
          ++p;
          continue;
        }
        break;
      }
    } else {
      const char* start = p;
      p = find_separator(line.data(), p, end);
      next_item().assign(start, p);
    }
    while (p < end && blank(*p)) ++p;
    if (p < end && *p == ',') {
      ++p;
      while (p < end && blank(*p)) ++p;
    }
  }
  items.resize(count);
}

const std::vector<std::string>& SplitLine::split(std::string_view line) {
  if (!valid_ || line != source_) {
    valid_ = false;
    split_command_line(line, items_);
    // Whether the items now hold more storage than is kept: told once per
    // split, not at the end of every message.
    large_ = items_.size() > kKeptItems ||
             std::any_of(items_.begin(), items_.end(), [](const auto& i) { return i.capacity() > kKeptLineBytes; });
    if (line.size() <= kKeptLineBytes) {
      source_.assign(line);
      valid_ = true;
    }
  }
  return items_;
}

void SplitLine::release_large() {
  if (!large_) return;
  std::vector<std::string>().swap(items_);
  valid_ = false;
  large_ = false;
}

std::vector<std::string> split_command_line(std::string_view line) {
  std::vector<std::string> items;
  split_command_line(line, items);
  return items;
}

std::vector<std::string> split_subfields(std::string_view text) {
  std::vector<std::string> fields;
  std::size_t b = 0;
  while (b <= text.size()) {
    const auto e = text.find(proto::ENQ, b);
    if (e == std::string_view::npos) {
      if (b < text.size() || fields.empty()) fields.emplace_back(text.substr(b));
      break;
    }
    fields.emplace_back(text.substr(b, e - b));
    b = e + 1;
  }
  return fields;
}

}  // namespace orvane
