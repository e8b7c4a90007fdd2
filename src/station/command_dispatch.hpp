// The command dispatcher: one framed message in (line 0 the header, then the
// command lines), addressing, the dispatch table, the log pair and the one
// ACK per message. Runs on the station thread.
#pragma once
#include "station/connection.hpp"

#include <memory>
#include <span>
#include <string_view>

namespace orvane {

class Realtime;
class Station;

// A handler failure (a missing item, a number that isn't one) abandons the
// rest of the message and propagates: the caller's loop edge logs it.
void dispatch_message(Station& station, std::span<const std::string_view> lines,
                      const std::shared_ptr<Connection>& connection);

// Sends a whole reply. On failure: "Error : Cannot Connect socket or socket
// close!", and the realtime subscriptions served on that connection end
// ("Emulator : Program Cancel send realtime"); the others go on.
bool send_reply(Realtime& realtime, Connection& connection, std::string_view text);

}  // namespace orvane
