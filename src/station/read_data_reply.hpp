// The READ_DATA reply a station last built. A reply follows from the
// request's header, the minute, the identity items asked with and the channel
// records; hosts poll far more often than any of these change, so the reply
// is kept with what it was built from and sent again while all of it is the
// same (the records tell by their stamp). Its lines are kept apart, so a new
// header or minute costs no walk over the channels unless the records
// changed too. One per station.
#pragma once
#include "core/local_time.hpp"
#include "station/channel_model.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane {

class ReadDataReply {
 public:
  // The framed reply to a READ_DATA with this header, at `now`, for the
  // identity items `fac` and `sen`, over `channels`.
  std::string_view reply(std::string_view header, LocalTime now, std::string_view fac, std::string_view sen,
                         const ChannelRecords& channels);

 private:
  void build_lines(std::string_view fac, std::string_view sen, const ChannelRecords& channels);

  bool stamped_ = false, built_ = false, framed_ = false;
  std::chrono::local_time<std::chrono::minutes> minute_{};
  const ChannelRecords* records_ = nullptr;  // the records the lines were built from, at stamp records_stamp_
  std::uint64_t records_stamp_ = 0;
  std::string stamp_, fac_, sen_, header_;
  std::string lines_;
  std::string reply_;
};

}  // namespace orvane
