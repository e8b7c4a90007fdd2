// READ_DATA and SET_VALUE: the host reads every channel's value once, or
// sets one channel's value by hand.
#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "core/reply_writer.hpp"
#include "station/command_dispatch.hpp"
#include "station/command_handlers.hpp"
#include "station/station.hpp"

namespace orvane {

void handle_read_data(Station& st, const Request& request) {
  const auto& fac = item(request.items, 2);
  const auto& sen = item(request.items, 3);
  // The middle of every line is the same within one reply: built once.
  std::string middle;
  middle.append(" ").append(stamp_yyyymmddhhnn(st.now())).append(" ").append(fac).append(" ");
  middle.append(fac).append(sen).append(" ");
  auto reply = ReplyWriter::answering(request.header);
  reply.reserve(request.header.size() + 2 + st.channels.size() * (middle.size() + 32));
  for (const auto& ch : st.channels)
    reply.line(" EVENT", trim(ch.port_type), middle, trim(ch.port_id), " IS ", trim(ch.value), " ");
  send_reply(st, *request.connection, std::move(reply).end());
}

void handle_set_value(Station& st, const Request& request) {
  const auto& items = request.items;
  const auto& port = item(items, 4);
  const auto& value = item(items, 5);
  st.set_value_by_hand(port, leading_int(value, 0));
  auto reply = ReplyWriter::answering(request.header);
  reply.line("EVENT ", stamp_yyyymmddhhnn(st.now()), " ", item(items, 2), " ", item(items, 3), " ", port, " ", " IS ",
             value);
  send_reply(st, *request.connection, std::move(reply).end());
}

}  // namespace orvane
