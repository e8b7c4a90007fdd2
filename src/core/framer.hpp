// The per-connection framer: turns received chunks into messages (SOH
// header, STX lines, EOT), keeping its state between chunks. Each connection
// owns one, so chunks of two hosts are never joined.
#pragma once
#include "core/limits.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
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
  // SOH are dropped).
  template <class OnMessage, class OnTooLong>
  void feed(std::string_view chunk, OnMessage&& on_message, OnTooLong&& on_too_long) {
    const char* p = chunk.data();
    const char* const end = p + chunk.size();
    while (p < end) {
      if (!inside_) {
        while (p < end && *p != '\x01') ++p;
        if (p == end) return;
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
        case '\x04':
          finish_views();
          inside_ = false;
          on_message(std::span<const std::string_view>(views_));
          release_large();
          break;
        default: {
          // A run of ordinary bytes goes into the current line at once.
          const char* run = p - 1;
          while (p < end && !is_frame_byte(*p)) ++p;
          const auto n = static_cast<std::size_t>(p - run);
          if (!grow(n)) {
            on_too_long();
            break;
          }
          text_.append(run, n);
        }
      }
    }
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
  static bool is_frame_byte(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 4;
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
