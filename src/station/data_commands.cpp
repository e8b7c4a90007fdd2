// READ_DATA and SET_VALUE: the host reads every channel's value once, or
// sets one channel's value by hand.
#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "core/reply_writer.hpp"
#include "station/channel_table.hpp"
#include "station/command_dispatch.hpp"
#include "station/command_handlers.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace orvane {

namespace {

// The lines of a READ_DATA reply follow from the minute, the identity items
// asked with and the channel records. Hosts poll far more often than any of
// these change, so the lines last built are kept with what they were built
// from and used again while all of it is the same; the records tell by
// their stamp.
class ReadDataLines {
 public:
  std::string_view lines(std::string_view stamp, std::string_view fac, std::string_view sen,
                         const ChannelRecords& channels) {
    if (!built_ || channels.stamp() != records_ || stamp != stamp_ || fac != fac_ || sen != sen_)
      build(stamp, fac, sen, channels);
    return lines_;
  }

 private:
  void build(std::string_view stamp, std::string_view fac, std::string_view sen, const ChannelRecords& channels) {
    // The middle of every line is the same within one reply.
    std::string middle;
    middle.append(" ").append(stamp).append(" ").append(fac).append(" ").append(fac).append(sen).append(" ");
    ReplyWriter lines;
    lines.reserve(channels.size() * (middle.size() + 32));
    for (const auto& ch : channels)
      lines.line(" EVENT", trim(ch.port_type), middle, trim(ch.port_id), " IS ", trim(ch.value), " ");
    lines_ = std::move(lines).take();
    records_ = channels.stamp();
    stamp_ = stamp;
    fac_ = fac;
    sen_ = sen;
    built_ = true;
  }

  bool built_ = false;
  std::uint64_t records_ = 0;
  std::string stamp_, fac_, sen_;
  std::string lines_;
};

}  // namespace

void handle_read_data(const Clock& clock, const ChannelTable& table, Realtime& replies, const Request& request) {
  // Stamps are unique across all records of the process, so one memo
  // serves whichever station of this thread asks.
  thread_local ReadDataLines memo;
  const auto lines =
      memo.lines(stamp_yyyymmddhhnn(clock.now()), item(request.items, 2), item(request.items, 3), table.channels());
  auto reply = ReplyWriter::answering(request.header, lines.size());
  reply.add(lines);
  send_reply(replies, *request.connection, std::move(reply).end());
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
