// The edge of every entry point from the loop (a timer tick, a socket read,
// a posted action, a poll's completion): an escaping exception is logged
// "Error : " + message and the station carries on.
#pragma once
#include "station/operator_log.hpp"

#include <exception>
#include <string>

namespace orvane {

template <class F>
void guarded(OperatorLog& log, F&& f) noexcept {
  try {
    f();
  } catch (const std::exception& e) {
    log.log(std::string("Error : ") + e.what());
  } catch (...) {
    log.log("Error : unknown error");
  }
}

}  // namespace orvane
