// The operator log: the memo every subsystem reports to, bounded to 201
// lines, with observers (stdout when headless, the window otherwise).
#pragma once
#include <asio/io_context.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace orvane {

class OperatorLog {
 public:
  using Observer = std::function<void(const std::string& line)>;

  // Lines logged from the owner thread are added at once; lines logged from
  // any other thread are posted to `ioc` and added there, in order.
  explicit OperatorLog(asio::io_context& ioc);

  void log(std::string text);
  // The same for a text the caller keeps (a fixed line logged for every
  // command): on the owner thread, once the memo is full, the storage of
  // the line that leaves it takes the text, so the line costs no allocation.
  void log_copy(std::string_view text);

  // While one lives (owner thread), a text logged more than
  // limits::kRepeatedLogLines times is only counted; when the last one ends,
  // each such text is logged once more as "<text> (N more)", in the order
  // they were first held back. A peer's message thus costs a bounded
  // number of log lines, whatever it repeats.
  class RepeatBound {
   public:
    explicit RepeatBound(OperatorLog& log) : log_(log) { ++log_.bound_depth_; }
    ~RepeatBound() { log_.end_repeat_bound(); }
    RepeatBound(const RepeatBound&) = delete;
    RepeatBound& operator=(const RepeatBound&) = delete;

   private:
    OperatorLog& log_;
  };

  // The thread that owns the memo (the station thread); the constructing
  // thread until this is called.
  void bind_to_current_thread() { owner_ = std::this_thread::get_id(); }

  // Called on the owner thread with every line as it is added.
  void add_observer(Observer observer);

  // Owner thread only.
  const std::deque<std::string>& memo() const { return memo_; }
  std::string last_line() const { return memo_.empty() ? std::string() : memo_.back(); }
  // Lines ever added, so a reader can tell which memo lines are new to it.
  std::uint64_t appended() const { return appended_; }

 private:
  void append(std::string text);
  void append_copy(std::string_view text);
  // The memo's next line, empty or holding storage to reuse (the memo keeps
  // its 200/201-line rule); count_and_tell() counts it and tells the observers.
  std::string& next_line();
  void count_and_tell();
  // Whether the bound lets one more of this text through (counts it either way).
  bool passes_bound(std::string_view text);
  void end_repeat_bound();

  // A text logged under the bound and how often. The entries are kept and
  // reused from one message to the next, so a message's log lines cost no
  // allocation here; a message with many different texts finds them
  // through `index_`.
  struct Repeats {
    std::string text;
    std::uint64_t logged = 0;
    std::uint64_t held = 0;
  };
  std::size_t repeats_of(std::string_view text);  // its entry, made when new

  asio::io_context& ioc_;
  std::thread::id owner_;
  std::deque<std::string> memo_;
  std::vector<Observer> observers_;
  std::uint64_t appended_ = 0;
  int bound_depth_ = 0;
  std::deque<Repeats> repeats_;  // [0, repeats_used_) belong to the current bound
  std::size_t repeats_used_ = 0;
  std::unordered_map<std::string_view, std::size_t> index_;  // text -> entry, past a few entries
  std::vector<std::size_t> held_order_;  // entries held back, first time first
};

}  // namespace orvane
