// Every bound of the station in one place, with what it costs.
#pragma once
#include <cstddef>

namespace orvane::limits {

inline constexpr int kChannels = 32;                 // panels pnl_1 .. pnl_32
inline constexpr int kGridColumns = 15;              // grid_sensor columns 0..14
inline constexpr std::size_t kMemoLines = 200;       // memo keeps 200 before each add (201 shown)
inline constexpr int kClockTickMs = 250;             // clock component resolution
inline constexpr int kDefaultIntervalMs = 1000;      // sampling interval when a setting reads 0
inline constexpr std::size_t kMaxMessageBytes = 1 << 20;      // one framed message: 1 MiB
inline constexpr std::size_t kMaxWriteQueueBytes = 4 << 20;   // per connection: 4 MiB

}  // namespace orvane::limits
