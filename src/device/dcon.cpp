#include "device/dcon.hpp"

#include "device/result_codes.hpp"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace orvane {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int dcon_address(char address) {
  const int v = hex_value(address);
  if (v < 0) {
    const auto shown = static_cast<unsigned char>(address) >= 32
                           ? std::string(1, address)
                           : fmt::format("\\x{:02X}", static_cast<unsigned char>(address));
    throw std::invalid_argument("'" + shown + "' is not a valid module address");
  }
  return v;
}

std::string dcon_checksum(std::string_view text) {
  unsigned sum = 0;
  for (const char c : text) sum += static_cast<unsigned char>(c);
  return fmt::format("{:02X}", sum & 0xFFu);
}

std::string dcon_read_all_request(int address, bool checksum) {
  std::string req = fmt::format("#{:02X}", address & 0xFF);
  if (checksum) req += dcon_checksum(req);
  req += '\r';
  return req;
}

int dcon_parse_read_all_reply(std::string_view reply, bool checksum, AnalogReadings& out) {
  if (checksum) {
    if (reply.size() < 3) return rc::kResultStringCheckError;
    const auto body = reply.substr(0, reply.size() - 2);
    const auto sum = reply.substr(reply.size() - 2);
    if (hex_value(sum[0]) < 0 || hex_value(sum[1]) < 0) return rc::kCheckSumError;
    const int got = hex_value(sum[0]) * 16 + hex_value(sum[1]);
    const int want = std::stoi(dcon_checksum(body), nullptr, 16);
    if (got != want) return rc::kCheckSumError;
    reply = body;
  }
  if (!reply.empty() && reply.front() == '?') return rc::kCommandError;
  if (reply.empty() || reply.front() != '>') return rc::kResultStringCheckError;
  reply.remove_prefix(1);
  AnalogReadings values{};
  for (int i = 0; i < kAnalogInputs; ++i) {
    // Each reading: sign, digits, optional '.' and digits.
    if (reply.empty() || (reply.front() != '+' && reply.front() != '-')) return rc::kResultStringCheckError;
    std::size_t n = 1;
    std::size_t digits = 0;
    while (n < reply.size() && is_digit(reply[n])) ++n, ++digits;
    if (n < reply.size() && reply[n] == '.') {
      ++n;
      while (n < reply.size() && is_digit(reply[n])) ++n, ++digits;
    }
    if (digits == 0) return rc::kResultStringCheckError;
    const char* first = reply.data() + 1;
    float v = 0;
    const auto [end, ec] = std::from_chars(first, reply.data() + n, v, std::chars_format::fixed);
    if (ec != std::errc{} || end != reply.data() + n || !std::isfinite(v)) return rc::kResultStringCheckError;
    values[static_cast<std::size_t>(i)] = reply.front() == '-' ? -v : v;
    reply.remove_prefix(n);
  }
  if (!reply.empty()) return rc::kResultStringCheckError;
  out = values;
  return rc::kNoError;
}

}  // namespace orvane
