// Result codes of the device line and their texts.
#pragma once
#include <string>

namespace orvane {

// The codes the device line reports (0 = success).
namespace rc {
inline constexpr int kNoError = 0;
inline constexpr int kPortError = 2;
inline constexpr int kBaudRateError = 3;
inline constexpr int kCheckSumError = 7;
inline constexpr int kComPortNotOpen = 8;
inline constexpr int kSendCommandError = 10;
inline constexpr int kReadComPortStatusError = 11;
inline constexpr int kResultStringCheckError = 12;
inline constexpr int kCommandError = 13;
inline constexpr int kTimeOut = 15;
}  // namespace rc

// "No Error", "Port Error", ... "Time Out"; "Unknown Error" for codes
// without a text of their own (14, 16, 24 and up, negatives).
const char* result_code_text(int code);

}  // namespace orvane
