// READ_DATA and SET_VALUE: the host reads every channel's value once, or
// sets one channel's value by hand.
#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "core/reply_writer.hpp"
#include "station/channel_table.hpp"
#include "station/command_dispatch.hpp"
#include "station/command_handlers.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace orvane {

namespace {

// A READ_DATA reply follows from the request's header, the minute, the
// identity items asked with and the channel records. Hosts poll far more
// often than any of these change, so the reply last built is kept with what
// it was built from and sent again while all of it is the same; the records
// tell by their stamp. Its lines are kept apart, so a new header or minute
// costs no walk over the channels unless the records changed too.
class ReadDataReply {
 public:
  std::string_view reply(std::string_view header, LocalTime now, std::string_view fac, std::string_view sen,
                         const ChannelRecords& channels) {
    const auto minute = std::chrono::floor<std::chrono::minutes>(now);
    if (!stamped_ || minute != minute_) {
      stamp_ = stamp_yyyymmddhhnn(now);
      minute_ = minute;
      stamped_ = true;
      built_ = false;
    }
    if (!built_ || channels.stamp() != records_ || fac != fac_ || sen != sen_) {
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

 private:
  void build_lines(std::string_view fac, std::string_view sen, const ChannelRecords& channels) {
    // The middle of every line is the same within one reply.
    std::string middle;
    middle.append(" ").append(stamp_).append(" ").append(fac).append(" ").append(fac).append(sen).append(" ");
    ReplyWriter lines;
    lines.reserve(channels.size() * (middle.size() + 32));
    for (const auto& ch : channels)
      lines.line(" EVENT", trim(ch.port_type), middle, trim(ch.port_id), " IS ", trim(ch.value), " ");
    lines_ = std::move(lines).take();
    records_ = channels.stamp();
    fac_ = fac;
    sen_ = sen;
    built_ = true;
  }

  bool stamped_ = false, built_ = false, framed_ = false;
  std::chrono::local_time<std::chrono::minutes> minute_{};
  std::uint64_t records_ = 0;
  std::string stamp_, fac_, sen_, header_;
  std::string lines_;
  std::string reply_;
};

}  // namespace

void handle_read_data(const Clock& clock, const ChannelTable& table, Realtime& replies, const Request& request) {
  // Stamps are unique across all records of the process, so one memo
  // serves whichever station of this thread asks.
  thread_local ReadDataReply memo;
  send_reply(replies, *request.connection,
             memo.reply(request.header, clock.now(), item(request.items, 2), item(request.items, 3), table.channels()));
}

void handle_set_value(const Clock& clock, ChannelTable& table, Realtime& replies, const Request& request) {
  const auto& items = request.items;
  const auto& port = item(items, 4);
  const auto& value = item(items, 5);
  table.set_value_by_hand(port, leading_int(value, 0));
  auto reply = ReplyWriter::answering(request.header);
  reply.line("EVENT ", stamp_yyyymmddhhnn(clock.now()), " ", item(items, 2), " ", item(items, 3), " ", port, " ",
             " IS ", value);
  send_reply(replies, *request.connection, std::move(reply).end());
}

}  // namespace orvane
