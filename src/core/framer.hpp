// The per-connection framer: turns received chunks into messages (SOH
// header, STX lines, EOT), keeping its state between chunks. Each connection
// owns one, so chunks of two hosts are never joined.
#pragma once
#include "core/byte_scan.hpp"
#include "core/limits.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace orvane {

class Framer {
 public:
  // `max_message_bytes`: a message that grows past this many bytes (counted
  // from SOH, control bytes included) is dropped.
  explicit Framer(std::size_t max_message_bytes = limits::kMaxMessageBytes) : max_bytes_(max_message_bytes) {}

  // Feeds one chunk. For each message completed by an EOT, calls
  // on_message(std::span<const std::string_view> lines) with line 0 the
  // header; the views stay valid during the call only. When a message grows
  // past the bound, calls on_too_long() and forgets it (bytes up to the next
  // SOH are dropped). An on_message that returns false stops the feed right
  // after that message: the rest of the chunk is the caller's to feed
  // later. Returns the bytes of the chunk taken.
  template <class OnMessage, class OnTooLong>
  std::size_t feed(std::string_view chunk, OnMessage&& on_message, OnTooLong&& on_too_long) {
    const char* p = chunk.data();
    const char* const end = p + chunk.size();
    while (p < end) {
      if (!inside_) {
        p = static_cast<const char*>(std::memchr(p, '\x01', static_cast<std::size_t>(end - p)));
        if (!p) return chunk.size();
        // The usual case: the whole message is in this chunk, and its lines
        // are handed over where they lie, nothing copied.
        bool go_on = true;
        if (const char* after = frame_in_place(chunk.data(), p, end, on_message, go_on)) {
          p = after;
          if (!go_on) return static_cast<std::size_t>(p - chunk.data());
          continue;
        }
      }
      const char c = *p++;
      switch (c) {
        case '\x01':
          begin_message();
          break;
        case '\x02':
          if (!grow(1)) {
            on_too_long();
            break;
          }
          starts_.push_back(static_cast<std::uint32_t>(text_.size()));
          break;
        case '\x03':
          break;
        case '\x04': {
          finish_views();
          inside_ = false;
          const bool go_on = handed(on_message);
          release_large();
          if (!go_on) return static_cast<std::size_t>(p - chunk.data());
          break;
        }
        default: {
          // A run of ordinary bytes goes into the current line at once.
          const char* run = p - 1;
          p = find_frame_byte(chunk.data(), p, end);
          const auto n = static_cast<std::size_t>(p - run);
          if (!grow(n)) {
            on_too_long();
            break;
          }
          text_.append(run, n);
        }
      }
    }
    return chunk.size();
  }

  bool inside_frame() const { return inside_; }
  // Bytes of the message being collected (0 outside a frame).
  std::size_t message_bytes() const { return inside_ ? bytes_ : 0; }
  // Memory held for messages (text and line index, as allocated). Between
  // messages at most about kFramerKeepBytes per buffer is kept.
  std::size_t held_bytes() const {
    return text_.capacity() + starts_.capacity() * sizeof(std::uint32_t) + views_.capacity() * sizeof(std::string_view);
  }
  // Forgets the message being collected and frees what it held.
  void drop();

 private:
  // A message from the SOH at `soh` to an EOT before `end`, framed as views
  // of those bytes; returns where it ends (past its EOT). Null, with nothing
  // handed over, when it isn't whole here or needs the rules above: an SOH
  // again, an ETX followed by more of its line, or more bytes than the bound.
  // Hands the framed lines over: whether to go on with the chunk.
  template <class OnMessage>
  bool handed(OnMessage& on_message) {
    const std::span<const std::string_view> lines(views_);
    if constexpr (std::is_same_v<decltype(on_message(lines)), bool>) {
      return on_message(lines);
    } else {
      on_message(lines);
      return true;
    }
  }

  template <class OnMessage>
  const char* frame_in_place(const char* begin, const char* soh, const char* end, OnMessage& on_message, bool& go_on) {
    views_.clear();
    const char* line = soh + 1;
    bool line_open = true;  // the header line first
    for (const char* p = line;;) {
      const char* q = find_frame_byte(begin, p, end);
      if (q == end) return nullptr;
      switch (*q) {
        case '\x01':
          return nullptr;
        case '\x02':
          if (line_open) views_.emplace_back(line, static_cast<std::size_t>(q - line));
          line = q + 1;
          line_open = true;
          break;
        case '\x03':
          if (!line_open) break;
          if (q + 1 == end || (q[1] != '\x02' && q[1] != '\x04')) return nullptr;
          views_.emplace_back(line, static_cast<std::size_t>(q - line));
          line_open = false;
          break;
        default:  // EOT
          if (static_cast<std::size_t>(q - soh) > max_bytes_) return nullptr;
          if (line_open) views_.emplace_back(line, static_cast<std::size_t>(q - line));
          go_on = handed(on_message);
          return q + 1;
      }
      p = q + 1;
    }
  }

  // The first SOH, STX, ETX or EOT in [p, end), or end.
  static const char* find_frame_byte(const char* begin, const char* p, const char* end) {
    return find_byte_in(begin, p, end, 1, 4, '\x01');
  }
  void begin_message();
  // Frees buffers that grew past kFramerKeepBytes for one big message.
  void release_large();
  // Counts n more bytes; on overflow drops the message and returns false.
  bool grow(std::size_t n);
  void finish_views();

  std::size_t max_bytes_;
  bool inside_ = false;
  std::size_t bytes_ = 0;
  std::string text_;  // all lines' bytes, one after another
  std::vector<std::uint32_t> starts_;  // where each line starts in text_
  std::vector<std::string_view> views_;
};

}  // namespace orvane
