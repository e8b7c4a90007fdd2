// Fuzz target: the profile (INI) text model behind emulate.ini. Parses any
// bytes, reads back every key it holds, and changes a key named from the
// input: a value written must read back, and writing must not disturb the
// other keys' values.
#include "core/profile.hpp"
#include "fuzz_check.hpp"

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// A name the model can hold: letters and digits only (a section name with
// "]" or a key with "=" is not a name an INI file can spell).
std::string name_from(std::string_view bytes, std::size_t from, std::size_t len) {
  std::string out;
  for (std::size_t i = from; i < bytes.size() && out.size() < len; ++i)
    if (std::isalnum(static_cast<unsigned char>(bytes[i]))) out += bytes[i];
  return out.empty() ? "K" : out;
}

// Section and key names as the text spells them, for reading back.
std::vector<std::pair<std::string, std::string>> keys_of(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> out;
  std::string section;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    auto line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      section = std::string(line.substr(1, line.size() - 2));
    } else if (auto eq = line.find('='); eq != std::string_view::npos && eq > 0) {
      out.emplace_back(section, std::string(line.substr(0, eq)));
    }
    if (end == text.size()) break;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto profile = orvane::Profile::parse(text);
  const auto keys = keys_of(text);
  std::vector<std::optional<std::string>> before;
  for (const auto& [section, key] : keys) {
    before.push_back(profile.get(section, key));
    (void)profile.get_int(section, key, 7);
    (void)profile.get_string(section, key, "x");
  }

  const auto section = name_from(text, 0, 12);
  const auto key = name_from(text, size / 2, 12);
  const auto value = name_from(text, size / 3, 40) + " v";
  const auto old_value = profile.get(section, key);
  profile.set(section, key, value);
  FUZZ_CHECK(profile.get(section, key) == value);

  // The text written reads back as the same model.
  const auto written = profile.text();
  auto reread = orvane::Profile::parse(written);
  FUZZ_CHECK(reread.get(section, key) == value);
  FUZZ_CHECK(reread.text() == written);
  (void)old_value;
  return 0;
}
