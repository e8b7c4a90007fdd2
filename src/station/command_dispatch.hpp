// The command dispatcher: one framed message in (line 0 the header, then the
// command lines), addressing, the dispatch table, the log pair and the one
// ACK per message. Runs on the station thread.
#pragma once
#include "core/command_line.hpp"
#include "platform/clock.hpp"
#include "platform/steady_time.hpp"
#include "station/connection.hpp"
#include "station/station_counters.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace asio {
class io_context;
}

namespace orvane {

class ChannelTable;
class OperatorLog;
class ReadDataReply;
class Realtime;
class StationControl;
struct StationSettings;

// The parts of a station the commands work on; the station builds it once.
struct DispatchContext {
  StationSettings& settings;
  ChannelTable& table;
  Realtime& realtime;  // replies go through it (a failed send ends that connection's subscriptions)
  StationControl& control;
  OperatorLog& log;
  const Clock& clock;
  const std::filesystem::path& dir;  // the station directory
  ReadDataReply& read_data;  // the READ_DATA reply last built
  // Files of the station's own no host may read or write (RCFG, SCFG)
  // besides the event buffer's: the lock and the configured flag.
  std::span<const std::filesystem::path> private_files;
  asio::io_context& ioc;  // the rest of a long message is posted here, slice by slice
  SteadyTime& time;  // how long a slice has run; the delay of replies
};

class CommandDispatcher {
 public:
  explicit CommandDispatcher(DispatchContext parts);
  ~CommandDispatcher();
  CommandDispatcher(const CommandDispatcher&) = delete;
  CommandDispatcher& operator=(const CommandDispatcher&) = delete;

  // A handler failure (a missing item, a number that isn't one) abandons
  // the rest of the message and propagates: the caller's loop edge logs it.
  // False when the message is longer than a slice (limits::kLinesPerSlice,
  // kSliceMicroseconds): its rest is copied and worked on in posted slices,
  // a failure there logged "Error : ...", and connection->message_done()
  // called when it is done.
  bool dispatch(std::span<const std::string_view> lines, const std::shared_ptr<Connection>& connection);
  // An injected fault: each message is worked on only this long after it
  // came (0: at once), so its replies come that late; the host's later
  // messages wait their turn behind it.
  void set_reply_delay(std::chrono::milliseconds delay) { reply_delay_ = delay; }
  std::chrono::milliseconds reply_delay() const { return reply_delay_; }
  // Command lines received since start, by command word, every known word
  // listed (unknown words as "other").
  std::vector<CommandCount> command_counts() const;

 private:
  struct Message;
  struct Job;
  // Dispatches lines from message.next on; true when all are done, false
  // when the slice is used up first.
  bool work(Message& message);
  // The end of a message: the work left, the ACK. False when it needs
  // another turn.
  bool finish(Message& message);
  // A turn's share of writing the files the message's SCFG lines left in
  // memory; once all are, the replies held for them are sent. True when
  // nothing is left to write.
  bool write_files(Message& message);
  // A turn's work on a message: its lines, its end, or the files of a
  // failed one. True when it is done.
  bool advance(Message& message);
  // A line failed (the exception being handled): true when files of the
  // lines before it are still to be written first, else the message is
  // abandoned.
  bool failing(Message& message);
  // The message ends at a failed line: what its earlier lines did is saved.
  void abandon(Message& message);
  // Keeps the message's lines from m.next on for later slices.
  Job& keep_rest(Message& m, std::span<const std::string_view> lines, const std::shared_ptr<Connection>& connection);
  void post_slice(Job& job);
  void run_slice(Job& job);

  DispatchContext parts_;
  // Long messages being worked on, one per connection at most.
  std::list<Job> jobs_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::chrono::milliseconds reply_delay_{0};
  // The split lines of a message: line 1 (kept for the ACK) and the line at
  // hand. Kept from one message to the next, so splitting costs no
  // allocation once they have grown; a message dispatched while another is
  // (not done today) splits into lines of its own.
  SplitLine first_, line_;
  bool dispatching_ = false;
  // Per entry of the command table, unknown words last.
  std::array<std::uint64_t, 16> lines_by_command_{};
};

// Logs the exception being handled as "Error : " + its text, control
// characters escaped (a host's items may be quoted in it).
void log_message_failure(OperatorLog& log);

// Sends a whole reply. On failure: "Error : Cannot Connect socket or socket
// close!", and the realtime subscriptions served on that connection end
// ("Emulator : Program Cancel send realtime"); the others go on.
bool send_reply(Realtime& realtime, Connection& connection, std::string_view text);

}  // namespace orvane
