// The control bytes of the command protocol and of event lines.
#pragma once

namespace orvane::proto {

inline constexpr char SOH = '\x01';  // starts a message
inline constexpr char STX = '\x02';  // starts a line
inline constexpr char ETX = '\x03';  // ends a reply line (ignored on receipt)
inline constexpr char EOT = '\x04';  // ends a message
inline constexpr char ENQ = '\x05';  // separates sub-fields of a remote command

}  // namespace orvane::proto
