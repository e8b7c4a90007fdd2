// READ_DATA and SET_VALUE: the host reads every channel's value once, or
// sets one channel's value by hand.
#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "core/protocol.hpp"
#include "station/command_dispatch.hpp"
#include "station/command_handlers.hpp"
#include "station/station.hpp"

namespace orvane {

void handle_read_data(Station& st, std::string_view header, const Items& items, Connection& conn) {
  const auto& fac = item(items, 2);
  const auto& sen = item(items, 3);
  // The middle of every line is the same within one reply: built once.
  std::string middle;
  middle.append(" ").append(stamp_yyyymmddhhnn(st.now())).append(" ").append(fac).append(" ");
  middle.append(fac).append(sen).append(" ");
  std::string reply;
  reply.reserve(header.size() + 2 + st.channels.size() * (middle.size() + 32));
  reply += proto::SOH;
  reply += header;
  for (const auto& ch : st.channels) {
    reply.append("\x02 EVENT", 7);
    reply += trim(ch.port_type);
    reply += middle;
    reply += trim(ch.port_id);
    reply.append(" IS ", 4);
    reply += trim(ch.value);
    reply.append(" \x03", 2);
  }
  reply += proto::EOT;
  send_reply(st, conn, reply);
}

void handle_set_value(Station& st, std::string_view header, const Items& items, Connection& conn) {
  const auto& port = item(items, 4);
  const auto& value = item(items, 5);
  st.set_value_by_hand(port, leading_int(value, 0));
  std::string reply;
  reply += proto::SOH;
  reply += header;
  reply += proto::STX;
  reply.append("EVENT ").append(stamp_yyyymmddhhnn(st.now())).append(" ");
  reply.append(item(items, 2)).append(" ").append(item(items, 3)).append(" ");
  reply.append(port).append(" ").append(" IS ").append(value);
  reply += proto::ETX;
  reply += proto::EOT;
  send_reply(st, conn, reply);
}

}  // namespace orvane
