// One channel's item of an hourly history line.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane {

// '"' hour ' ' name ' ' min ' ' max ' ' average '"' ','; the average is
// sum / count truncated toward zero, 0 when nothing was counted.
std::string history_item(int hour, std::string_view name, std::int32_t min, std::int32_t max, std::int64_t sum,
                         std::int32_t count);

}  // namespace orvane
