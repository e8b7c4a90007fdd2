// Result codes of the device line and their texts.
#pragma once
#include <string>

namespace orvane {

// "No Error", "Port Error", ... "Time Out"; "Unknown Error" for codes
// without a text of their own (14, 16, 24 and up, negatives).
const char* result_code_text(int code);

}  // namespace orvane
