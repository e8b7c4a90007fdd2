#include "station/read_data_reply.hpp"

#include "core/comma_text.hpp"
#include "core/reply_writer.hpp"

#include <utility>

namespace orvane {

std::string_view ReadDataReply::reply(std::string_view header, LocalTime now, std::string_view fac,
                                      std::string_view sen, const ChannelRecords& channels) {
  const auto minute = std::chrono::floor<std::chrono::minutes>(now);
  if (!stamped_ || minute != minute_) {
    stamp_ = stamp_yyyymmddhhnn(now);
    minute_ = minute;
    stamped_ = true;
    built_ = false;
  }
  if (!built_ || &channels != records_ || channels.stamp() != records_stamp_ || fac != fac_ || sen != sen_) {
    build_lines(fac, sen, channels);
    framed_ = false;
  }
  if (!framed_ || header != header_) {
    auto reply = ReplyWriter::answering(header, std::move(reply_), lines_.size());
    reply.add(lines_);
    reply_ = std::move(reply).end();
    header_ = header;
    framed_ = true;
  }
  return reply_;
}

void ReadDataReply::build_lines(std::string_view fac, std::string_view sen, const ChannelRecords& channels) {
  // The middle of every line is the same within one reply.
  std::string middle;
  middle.append(" ").append(stamp_).append(" ").append(fac).append(" ").append(fac).append(sen).append(" ");
  ReplyWriter lines;
  lines.reserve(channels.size() * (middle.size() + 32));
  for (const auto& ch : channels)
    lines.line(" EVENT", trim(ch.port_type), middle, trim(ch.port_id), " IS ", trim(ch.value), " ");
  lines_ = std::move(lines).take();
  records_ = &channels;
  records_stamp_ = channels.stamp();
  fac_ = fac;
  sen_ = sen;
  built_ = true;
}

}  // namespace orvane
