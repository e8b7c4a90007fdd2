#include "device/result_codes.hpp"

namespace orvane {

const char* result_code_text(int code) {
  switch (code) {
    case 0:
      return "No Error";
    case 1:
      return "Function Error";
    case 2:
      return "Port Error";
    case 3:
      return "Baud Rate Error";
    case 4:
      return "Data Error";
    case 5:
      return "Stop Error";
    case 6:
      return "Parity Error";
    case 7:
      return "CheckSum Error";
    case 8:
      return "ComPort Not Open";
    case 9:
      return "Send Thread Create Error";
    case 10:
      return "Send Command Error";
    case 11:
      return "Read Com Port Status Error";
    case 12:
      return "Result String Check Error";
    case 13:
      return "Command Error";
    case 15:
      return "Time Out";
    case 17:
      return "Module Id Error";
    case 18:
      return "AD Channel Error";
    case 19:
      return "Under Input Range";
    case 20:
      return "Exceed Input Range";
    case 21:
      return "Invalidate Counter No";
    case 22:
      return "Invalidate Counter Value";
    case 23:
      return "Invalidate Gate Mode";
    default:
      return "Unknown Error";
  }
}

}  // namespace orvane
