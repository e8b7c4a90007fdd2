// Every bound of the station in one place, with what it costs.
#pragma once
#include <cstddef>

namespace orvane::limits {

inline constexpr int kChannels = 32;                 // panels pnl_1 .. pnl_32
inline constexpr int kGridColumns = 15;              // grid_sensor columns 0..14
inline constexpr std::size_t kMemoLines = 200;       // memo keeps 200 before each add (201 shown)
inline constexpr int kClockTickMs = 250;             // clock component resolution
inline constexpr int kDefaultIntervalMs = 1000;      // sampling interval when a setting reads 0

// Command server, per connection. Worst case per connection: one message
// buffer (1 MiB) + its line index (4 bytes per line, at most 4 MiB for a
// message made of STX bytes only) + the write queue (4 MiB) + the read
// buffer (64 KiB).
inline constexpr std::size_t kMaxMessageBytes = 1 << 20;      // one framed message: 1 MiB
inline constexpr std::size_t kMaxWriteQueueBytes = 4 << 20;   // replies not yet taken by the host: 4 MiB
inline constexpr std::size_t kReadChunkBytes = 64 << 10;      // one socket read: 64 KiB
// A framer keeps the capacity of its last message up to this size, so the
// usual small requests reuse it; a bigger buffer is released after use.
inline constexpr std::size_t kFramerKeepBytes = 64 << 10;
// Pause before accepting again after the accept itself failed (EMFILE,
// ENFILE, ENOBUFS): the loop waits on a timer instead of spinning.
inline constexpr int kAcceptRetryMs = 100;
// Shortest realtime period; a period below one second is taken as one second
// (a zero period would otherwise report without end, as fast as the loop runs).
inline constexpr int kMinRealtimePeriodS = 1;

}  // namespace orvane::limits
