#include "core/profile.hpp"

#include "core/comma_text.hpp"
#include "core/integer_text.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace orvane {
namespace {

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

Profile::Line Profile::classify(std::string raw) {
  Line line;
  const std::string_view t = trim_blanks(raw);
  if (!t.empty() && t.front() == '[') {
    line.kind = Line::Kind::section;
    auto body = t.substr(1);
    if (const auto close = body.find(']'); close != std::string_view::npos) body = body.substr(0, close);
    line.name = std::string(trim_blanks(body));
  } else if (!t.empty() && t.front() != ';') {
    if (const auto eq = t.find('='); eq != std::string_view::npos && eq > 0) {
      line.kind = Line::Kind::key;
      line.name = std::string(trim_blanks(t.substr(0, eq)));
    }
  }
  line.raw = std::move(raw);
  return line;
}

Profile Profile::parse(std::string_view text) {
  Profile p;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view raw = text.substr(start, end - start);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    p.lines_.push_back(classify(std::string(raw)));
    start = end + 1;
  }
  return p;
}

std::optional<std::pair<std::size_t, std::size_t>> Profile::find_section(std::string_view section) const {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind != Line::Kind::section || !iequals(lines_[i].name, section)) continue;
    std::size_t j = i + 1;
    while (j < lines_.size() && lines_[j].kind != Line::Kind::section) ++j;
    return std::make_pair(i + 1, j);
  }
  return std::nullopt;
}

std::optional<std::string> Profile::get(std::string_view section, std::string_view key) const {
  const auto range = find_section(section);
  if (!range) return std::nullopt;
  for (std::size_t i = range->first; i < range->second; ++i) {
    const Line& l = lines_[i];
    if (l.kind != Line::Kind::key || !iequals(l.name, key)) continue;
    std::string_view value = trim_blanks(std::string_view(l.raw).substr(l.raw.find('=') + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return std::string(value);
  }
  return std::nullopt;
}

std::string Profile::get_string(std::string_view section, std::string_view key, std::string_view fallback) const {
  if (auto v = get(section, key)) return *v;
  return std::string(fallback);
}

std::int32_t Profile::get_int(std::string_view section, std::string_view key, std::int32_t fallback) const {
  const auto v = get(section, key);
  if (!v) return fallback;
  return strict_int(*v).value_or(fallback);
}

std::string Profile::read_back(std::string_view value) {
  Profile p;
  p.set("s", "k", value);
  return p.get_string("s", "k", "");
}

void Profile::set(std::string_view section, std::string_view key, std::string_view value_in) {
  // A value is one line: line breaks sent by a host must not inject keys.
  const std::string value = without_line_breaks(value_in);
  const auto range = find_section(section);
  if (!range) {
    // Keep a blank line between the last section and the new one.
    if (!lines_.empty() && !trim_blanks(lines_.back().raw).empty()) lines_.push_back(classify(""));
    lines_.push_back(classify(fmt::format("[{}]", section)));
    lines_.push_back(classify(fmt::format("{}={}", key, value)));
    return;
  }
  std::size_t last_content = range->first;  // insert after the section's last non-blank line
  for (std::size_t i = range->first; i < range->second; ++i) {
    Line& l = lines_[i];
    if (!trim_blanks(l.raw).empty()) last_content = i + 1;
    if (l.kind == Line::Kind::key && iequals(l.name, key)) {
      l = classify(fmt::format("{}={}", l.name, value));
      return;
    }
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(last_content), classify(fmt::format("{}={}", key, value)));
}

std::string Profile::text() const {
  std::string out;
  for (const auto& l : lines_) {
    out += l.raw;
    out += "\r\n";
  }
  return out;
}

}  // namespace orvane
