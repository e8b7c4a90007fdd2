#include "core/history_item.hpp"

#include <fmt/format.h>

namespace orvane {

std::string history_item(int hour, std::string_view name, std::int32_t min, std::int32_t max, std::int64_t sum,
                         std::int32_t count) {
  const std::int64_t average = count == 0 ? 0 : sum / count;
  return fmt::format("\"{} {} {} {} {}\",", hour, name, min, max, average);
}

}  // namespace orvane
