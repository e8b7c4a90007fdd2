// Builds the bytes of a reply to a host: SOH and the request's header, lines
// each opened by STX and closed by ETX, and the EOT that ends the message.
// Every reply the station sends is written with it.
#pragma once
#include "core/protocol.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace orvane {

class ReplyWriter {
 public:
  // Lines only, without SOH and header: the batches and the closing
  // acknowledgement of a long (realtime) reply.
  ReplyWriter() = default;

  // SOH and the header of the request being answered; room for about
  // `body_bytes` more.
  static ReplyWriter answering(std::string_view header, std::size_t body_bytes = 64) {
    ReplyWriter w;
    w.bytes_.reserve(header.size() + body_bytes + 2);
    w.bytes_ += proto::SOH;
    w.bytes_ += header;
    return w;
  }

  // The same, written into `buffer` (its content replaced, its storage
  // reused): for a reply built again and again.
  static ReplyWriter answering(std::string_view header, std::string&& buffer, std::size_t body_bytes) {
    ReplyWriter w;
    w.bytes_ = std::move(buffer);
    w.bytes_.clear();
    w.bytes_.reserve(header.size() + body_bytes + 2);
    w.bytes_ += proto::SOH;
    w.bytes_ += header;
    return w;
  }

  void reserve(std::size_t n) { bytes_.reserve(n); }

  // Starts a line (STX) with the given parts.
  template <class... Parts>
  ReplyWriter& open_line(const Parts&... parts) {
    bytes_ += proto::STX;
    return add(parts...);
  }
  // Text of the open line; parts are strings, string views or characters.
  template <class... Parts>
  ReplyWriter& add(const Parts&... parts) {
    (append(parts), ...);
    return *this;
  }
  // Ends the open line (ETX).
  ReplyWriter& close_line() {
    bytes_ += proto::ETX;
    return *this;
  }
  // A whole line: STX, the parts, ETX. Sized once and copied in: a
  // READ_DATA reply is 32 of these.
  template <class... Parts>
  ReplyWriter& line(const Parts&... parts) {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + 2 + (size_of(parts) + ... + 0));
    char* p = bytes_.data() + at;
    *p++ = proto::STX;
    (copy_in(p, parts), ...);
    *p = proto::ETX;
    return *this;
  }

  // The bytes with the EOT that ends the message.
  std::string end() && {
    bytes_ += proto::EOT;
    return std::move(bytes_);
  }
  // The bytes as they are, for a reply that goes on (the opening of a long reply).
  std::string take() && { return std::move(bytes_); }

 private:
  void append(char c) { bytes_ += c; }
  void append(std::string_view text) { bytes_ += text; }
  static std::size_t size_of(char) { return 1; }
  static std::size_t size_of(std::string_view text) { return text.size(); }
  static void copy_in(char*& p, char c) { *p++ = c; }
  static void copy_in(char*& p, std::string_view text) {
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    p += text.size();
  }

  std::string bytes_;
};

}  // namespace orvane
