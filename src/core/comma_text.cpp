#include "core/comma_text.hpp"

#include <algorithm>

namespace orvane {
namespace {

bool is_blank_or_control(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 1 && u <= 32;
}

}  // namespace

CommaItems::CommaItems(std::string_view text) : text_(text) {
  if (const auto nul = text_.find('\0'); nul != std::string_view::npos) text_ = text_.substr(0, nul);
  while (p_ < text_.size() && is_blank_or_control(text_[p_])) ++p_;
}

bool CommaItems::next(std::string& item) {
  const std::size_t n = text_.size();
  std::size_t p = p_;
  if (p >= n) return false;
  item.clear();
  if (text_[p] == '"') {
    ++p;
    while (p < n) {
      if (text_[p] == '"') {
        if (p + 1 < n && text_[p + 1] == '"') {
          item += '"';
          p += 2;
          continue;
        }
        ++p;
        break;
      }
      item += text_[p++];
    }
  } else {
    const std::size_t start = p;
    while (p<n&& static_cast<unsigned char>(text_[p])> 32 && text_[p] != ',') ++p;
    item.assign(text_.substr(start, p - start));
  }
  while (p < n && is_blank_or_control(text_[p])) ++p;
  if (p < n && text_[p] == ',') {
    ++p;
    while (p < n && is_blank_or_control(text_[p])) ++p;
  }
  p_ = p;
  return true;
}

std::vector<std::string> split_comma_text(std::string_view text) {
  std::vector<std::string> items;
  CommaItems reader(text);
  std::string item;
  while (reader.next(item)) items.push_back(item);
  return items;
}

namespace {

bool needs_quotes(char c) { return static_cast<unsigned char>(c) <= 32 || c == '"' || c == ','; }

// The cell copied as it is checked; quoted only when it must be.
char* write_comma_cell(char* out, std::string_view cell) {
  char* const start = out;
  bool quoted = false;
  for (const char c : cell) {
    quoted |= needs_quotes(c);
    *out++ = c;
  }
  if (!quoted) return out;
  out = start;
  *out++ = '"';
  for (const char c : cell) {
    if (c == '"') *out++ = '"';
    *out++ = c;
  }
  *out++ = '"';
  return out;
}

}  // namespace

std::string quote_comma_cell(std::string_view cell) {
  std::string out(2 * cell.size() + 2, '\0');
  out.resize(static_cast<std::size_t>(write_comma_cell(out.data(), cell) - out.data()));
  return out;
}

std::size_t comma_text_room(std::span<const std::string> cells) {
  std::size_t room = cells.size();
  for (const auto& cell : cells) room += 2 * cell.size() + 2;
  return room;
}

char* write_comma_text(char* out, std::span<const std::string> cells) {
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i) *out++ = ',';
    out = write_comma_cell(out, cells[i]);
  }
  return out;
}

std::size_t comma_text_size(std::span<const std::string> cells) {
  std::size_t size = cells.empty() ? 0 : cells.size() - 1;
  for (const auto& cell : cells) {
    size += cell.size();
    if (std::any_of(cell.begin(), cell.end(), [](char c) { return needs_quotes(c); }))
      size += 2 + static_cast<std::size_t>(std::count(cell.begin(), cell.end(), '"'));
  }
  return size;
}

std::string join_comma_text(const std::vector<std::string>& cells) {
  std::string out(comma_text_room(cells), '\0');
  out.resize(static_cast<std::size_t>(write_comma_text(out.data(), cells) - out.data()));
  return out;
}

std::string trim_copy(std::string_view text) { return std::string(trim(text)); }

std::string without_line_breaks(std::string_view text) {
  std::string out(text);
  std::replace_if(
      out.begin(), out.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return out;
}

std::string with_controls_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 32 && u != 127) {
      out += c;
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

}  // namespace orvane
