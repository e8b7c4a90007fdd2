// READ_DATA and SET_VALUE: the host reads every channel's value once, or
// sets one channel's value by hand.
#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "core/reply_writer.hpp"
#include "station/channel_table.hpp"
#include "station/command_dispatch.hpp"
#include "station/command_handlers.hpp"
#include "station/read_data_reply.hpp"

#include <string>
#include <string_view>
#include <utility>

namespace orvane {

void handle_read_data(ReadDataReply& memo, const Clock& clock, const ChannelTable& table, Realtime& replies,
                      const Request& request) {
  send_reply(replies, request,
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
  send_reply(replies, request, std::move(reply).end());
}

}  // namespace orvane
