// Fuzz target: DCON replies from the modules. A reply line is whatever the
// RS-485 line delivered (noise, a module of another kind, a torn reply), so
// the parser must refuse anything but eight readings and never touch the
// readings area unless it accepts.
#include "device/dcon.hpp"
#include "fuzz_check.hpp"

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  for (bool checksum : {false, true}) {
    orvane::AnalogReadings area;
    area.fill(-12345.0f);
    const int code = orvane::dcon_parse_read_all_reply(reply, checksum, area);
    FUZZ_CHECK(code == 0 || code == 7 || code == 12 || code == 13);
    if (code != 0) {
      for (float v : area) FUZZ_CHECK(v == -12345.0f);
    } else {
      FUZZ_CHECK(!reply.empty() && reply.front() == '>');
    }
  }
  // The same reply with a correct checksum appended parses as the plain one.
  orvane::AnalogReadings plain{}, summed{};
  const int plain_code = orvane::dcon_parse_read_all_reply(reply, false, plain);
  const auto with_sum = std::string(reply) + orvane::dcon_checksum(reply);
  const int summed_code = orvane::dcon_parse_read_all_reply(with_sum, true, summed);
  if (plain_code == 0) {
    FUZZ_CHECK(summed_code == 0);
    for (int i = 0; i < orvane::kAnalogInputs; ++i)
      FUZZ_CHECK(plain[i] == summed[i] || (std::isnan(plain[i]) && std::isnan(summed[i])));
  }
  const auto sum = orvane::dcon_checksum(reply);
  FUZZ_CHECK(sum.size() == 2);

  if (size > 0) {
    try {
      const int address = orvane::dcon_address(static_cast<char>(data[0]));
      FUZZ_CHECK(address >= 0 && address <= 15);
      const auto request = orvane::dcon_read_all_request(address, data[0] & 1);
      FUZZ_CHECK(request.size() >= 4 && request.front() == '#' && request.back() == '\r');
    } catch (const std::invalid_argument&) {}
  }
  return 0;
}
