#include "core/comma_text.hpp"

#include <algorithm>

namespace orvane {
namespace {

bool is_blank_or_control(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 1 && u <= 32;
}

}  // namespace

std::vector<std::string> split_comma_text(std::string_view text) {
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  std::vector<std::string> items;
  std::size_t p = 0;
  const std::size_t n = text.size();
  while (p < n && is_blank_or_control(text[p])) ++p;
  while (p < n) {
    std::string item;
    if (text[p] == '"') {
      ++p;
      while (p < n) {
        if (text[p] == '"') {
          if (p + 1 < n && text[p + 1] == '"') {
            item += '"';
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        item += text[p++];
      }
    } else {
      const std::size_t start = p;
      while (p<n&& static_cast<unsigned char>(text[p])> 32 && text[p] != ',') ++p;
      item.assign(text.substr(start, p - start));
    }
    items.push_back(std::move(item));
    while (p < n && is_blank_or_control(text[p])) ++p;
    if (p < n && text[p] == ',') {
      ++p;
      while (p < n && is_blank_or_control(text[p])) ++p;
    }
  }
  return items;
}

std::string quote_comma_cell(std::string_view cell) {
  bool needs_quotes = false;
  for (char c : cell) {
    if (static_cast<unsigned char>(c) <= 32 || c == '"' || c == ',') {
      needs_quotes = true;
      break;
    }
  }
  if (!needs_quotes) return std::string(cell);
  std::string out;
  out.reserve(cell.size() + 2);
  out += '"';
  for (char c : cell) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string join_comma_text(const std::vector<std::string>& cells) {
  std::string out;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i) out += ',';
    out += quote_comma_cell(cells[i]);
  }
  return out;
}

std::string trim_copy(std::string_view text) { return std::string(trim(text)); }

std::string without_line_breaks(std::string_view text) {
  std::string out(text);
  std::replace_if(
      out.begin(), out.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return out;
}

}  // namespace orvane
