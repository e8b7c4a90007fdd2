// The DCON ASCII protocol of I-7000 modules, as far as the station uses it:
// the "read all analog inputs" request and its reply. Pure text functions;
// the serial line lives in serial_line.hpp.
#pragma once
#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace orvane {

inline constexpr int kAnalogInputs = 8;
using AnalogReadings = std::array<float, kAnalogInputs>;

// The module address of a module record's address character, read as one
// hexadecimal digit (0..15). Throws std::invalid_argument for anything else.
int dcon_address(char address);

// Two upper-case hex digits of the byte sum of `text` mod 256.
std::string dcon_checksum(std::string_view text);

// "#AA" (+ checksum) + CR, AA being the address as two upper-case hex digits.
std::string dcon_read_all_request(int address, bool checksum);

// Parses one reply line (without its CR) to the read-all request: ">"
// followed by eight signed readings, each a sign, digits and an optional
// fraction, any width. With `checksum`, two hex digits of the byte sum of
// everything before them end the line. Returns a result code (0, 7, 12, 13);
// `out` is written only on success.
int dcon_parse_read_all_reply(std::string_view reply, bool checksum, AnalogReadings& out);

}  // namespace orvane
