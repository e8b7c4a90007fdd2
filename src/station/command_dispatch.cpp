#include "station/command_dispatch.hpp"

#include "core/comma_text.hpp"
#include "core/command_line.hpp"
#include "core/protocol.hpp"
#include "station/command_handlers.hpp"
#include "station/station.hpp"

#include <stdexcept>

namespace orvane {

const std::string& item(const Items& items, std::size_t k) {
  if (k >= items.size()) throw std::out_of_range("List index out of bounds (" + std::to_string(k) + ")");
  return items[k];
}

bool send_reply(Station& st, Connection& conn, std::string_view text) {
  if (conn.send(text)) return true;
  st.log("Error : Cannot Connect socket or socket close!");
  if (st.Timer1.enabled()) cancel_realtime(st);
  return false;
}

namespace {

bool addressed(const Station& st, const Items& items) {
  if (items.size() < 4) return false;
  const auto fac = trim(st.boxes.ed_facid);
  const auto sen = trim(st.boxes.ed_sensorid);
  if (items[2] != fac) return false;
  return items[3] == sen || (items[3].size() == fac.size() + sen.size() && items[3].starts_with(fac) &&
                             std::string_view(items[3]).substr(fac.size()) == sen);
}

bool accepted_unaddressed(const Items& items) {
  const auto& word = items.front();
  return word == "SET_CONFIG" || word == "DO_COMMAND" ||
         (word == "READ_CONFIG" && items.size() > 2 && items[2] == "*");
}

}  // namespace

void dispatch_message(Station& st, std::span<const std::string_view> lines,
                      const std::shared_ptr<Connection>& connection) {
  if (lines.empty()) return;
  const std::string_view header = lines[0];
  Connection& conn = *connection;
  MessageMarks marks;
  // The ACK carries items 2 and 3 of the first command line, whatever it is.
  const Items first = lines.size() > 1 ? split_command_line(lines[1]) : Items{};

  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (!trim(lines[i]).empty()) {
      const Items items = split_command_line(lines[i]);
      if (!addressed(st, items) && !accepted_unaddressed(items)) {
        st.log("problem command");
        conn.close();
      } else {
        const std::string& word = items.front();
        if (word == "SET_CONFIG") {
          handle_set_config(st, items);
          empty_history_files(st);
          marks.ack_due = true;
        } else if (word == "SET_ID") {
          handle_set_id(st, items, marks);
          marks.ack_due = true;
        } else if (word == "DELETE_ID") {
          handle_delete_id(st, items);
          marks.ack_due = true;
        } else if (word == "READ_CONFIG") {
          handle_read_config(st, header, items, conn);
        } else if (word == "READ_DATA") {
          handle_read_data(st, header, items, conn);
        } else if (word == "READ_HISTORY") {
          handle_read_history(st, header, items, conn);
        } else if (word == "BEGIN_REALTIME") {
          handle_begin_realtime(st, header, items, connection);
        } else if (word == "END_REALTIME") {
          handle_end_realtime(st, conn);
        } else if (word == "DO_COMMAND") {
          marks.do_command_seen = true;
          handle_do_command(st, header, items, conn);
        } else if (word == "SET_VALUE") {
          handle_set_value(st, header, items, conn);
        }
      }
    }
    if (!marks.do_command_seen) {
      st.log("Emulator : receive Command");
      st.log("Emulator : do command ");
    }
  }

  if (marks.ack_due) {
    std::string ack;
    ack += proto::SOH;
    ack += header;
    ack += proto::STX;
    ack += "ACK ";
    ack += stamp_yyyymmddhhnn(st.now());
    ack += ' ';
    ack += first.size() > 2 ? first[2] : std::string();
    ack += ' ';
    ack += first.size() > 3 ? first[3] : std::string();
    ack += proto::ETX;
    ack += ' ';
    ack += proto::EOT;
    send_reply(st, conn, ack);
    st.log("Emulator : Answer Ack");
  }
}

}  // namespace orvane
