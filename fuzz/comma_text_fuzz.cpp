// Fuzz target: comma-text splitting, quoting and trimming. Every line the
// station reads (commands, configuration files, events) goes through the
// splitter, and sensor.con rows are written back by the joiner, so a row
// written must split back into the same cells.
#include "core/comma_text.hpp"
#include "fuzz_check.hpp"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto items = orvane::split_comma_text(text);
  for (const auto& item : items) FUZZ_CHECK(item.find('\0') == std::string::npos);

  // What the joiner writes, the splitter reads back cell for cell, except an
  // empty last cell, which leaves nothing to read.
  const auto joined = orvane::join_comma_text(items);
  auto again = orvane::split_comma_text(joined);
  auto expected = items;
  while (!expected.empty() && expected.back().empty()) expected.pop_back();
  while (!again.empty() && again.back().empty()) again.pop_back();
  FUZZ_CHECK(again == expected);

  const auto trimmed = orvane::trim(text);
  FUZZ_CHECK(orvane::trim(trimmed) == trimmed);
  FUZZ_CHECK(trimmed.empty() ||
             (static_cast<unsigned char>(trimmed.front()) > 32 && static_cast<unsigned char>(trimmed.back()) > 32));
  return 0;
}
