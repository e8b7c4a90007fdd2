// The profile (INI) file as text: sections in square brackets, key=value
// lines. Names match without regard to case. Writing a key changes only its
// own line (or adds one), so comments, order and other keys stay as they were.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

class Profile {
 public:
  Profile() = default;
  // Parses text with CR LF or LF line ends. Never fails: lines that are
  // neither a section, a key nor a comment are kept and ignored.
  static Profile parse(std::string_view text);

  // The value of the first matching key of the first matching section, with
  // blanks around it removed and one pair of enclosing quotes stripped.
  std::optional<std::string> get(std::string_view section, std::string_view key) const;
  std::string get_string(std::string_view section, std::string_view key, std::string_view fallback) const;
  // The whole value must be a decimal integer; otherwise `fallback`.
  std::int32_t get_int(std::string_view section, std::string_view key, std::int32_t fallback) const;

  // Replaces the value of an existing key in place (keeping the key's
  // spelling), or adds `key=value` at the end of its section, creating the
  // section at the end of the text when there is none.
  void set(std::string_view section, std::string_view key, std::string_view value);

  // What get() gives back for a value once set() has stored it: line
  // breaks as blanks, no blanks around it, one pair of enclosing quotes
  // stripped. Memory holding this agrees with the file after a restart.
  static std::string read_back(std::string_view value);

  // The text with CR LF line ends.
  std::string text() const;

 private:
  struct Line {
    std::string raw;
    enum class Kind { other, section, key } kind = Kind::other;
    std::string name;  // section name or key name, trimmed
  };
  static Line classify(std::string raw);
  // Index range [first, last) of the lines of the first matching section.
  std::optional<std::pair<std::size_t, std::size_t>> find_section(std::string_view section) const;

  std::vector<Line> lines_;
};

}  // namespace orvane
