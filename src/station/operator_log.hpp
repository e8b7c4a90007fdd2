// The operator log: the memo every subsystem reports to, bounded to 201
// lines, with observers (stdout when headless, the window otherwise).
#pragma once
#include "core/limits.hpp"

#include <asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace orvane {

class OperatorLog {
 public:
  using Observer = std::function<void(const std::string& line)>;
  // The memo's lines, oldest first; valid until the next line is added.
  using Memo = std::span<const std::string>;

  // Lines logged from the owner thread are added at once; lines logged from
  // any other thread are posted to `ioc` and added there, in order.
  explicit OperatorLog(asio::io_context& ioc);

  void log(std::string text);
  // The same for a text the caller keeps (a fixed line logged for every
  // command): once the memo is full, the line that leaves it lends its
  // storage, so the line costs no allocation.
  void log_copy(std::string_view text);

  // While one lives (owner thread), a text logged more than
  // limits::kRepeatedLogLines times is only counted; when the last one ends,
  // each such text is logged once more as "<text> (N more)", in the order
  // they were first held back, and the counts start afresh. A peer's message
  // thus costs a bounded number of log lines, whatever it repeats.
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
  Memo memo() const { return Memo(slots_.data() + first_, end_ - first_); }
  std::string last_line() const { return end_ == first_ ? std::string() : slots_[end_ - 1]; }
  // Lines ever added, so a reader can tell which memo lines are new to it.
  std::uint64_t appended() const { return appended_; }

 private:
  // Whether the bound lets one more of this text through (counts it either way).
  bool passes_bound(std::string_view text);
  void end_repeat_bound();
  // Adds a line to the memo (the oldest leaves a full memo) and tells the observers.
  void append(std::string text);
  void append_copy(std::string_view text);
  // The slot of a new newest line; the line is the memo's once `tell` has run.
  std::string& new_slot();
  void tell(const std::string& line);

  // How often a text was logged in the current bound. The entries outlive
  // their bound (their storage is reused), so the texts every message logs
  // cost no allocation; a bound's entries are [0, used_). Most messages
  // log a few texts, found one by one; a bound with many finds them
  // through the index.
  struct Repeats {
    std::string text;
    std::uint64_t logged = 0;
    std::uint64_t held = 0;
  };
  std::size_t repeats_of(std::string_view text);  // its entry, made when new
  static constexpr std::size_t kScannedTexts = 8;

  asio::io_context& ioc_;
  std::thread::id owner_;
  // The memo is slots_[first_, end_): lines are added at the end, and once
  // the slots are used up the memo's lines move to the front, each slot
  // swapped with one whose line has left, so a line reuses the storage of
  // one that left and the memo stays one span.
  std::vector<std::string> slots_;
  std::size_t first_ = 0, end_ = 0;
  std::vector<Observer> observers_;
  std::uint64_t appended_ = 0;
  int bound_depth_ = 0;
  std::uint64_t uncounted_ = 0;  // lines the bound let through before counting
  bool counting_ = false;
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  std::vector<Repeats> repeats_;
  std::size_t used_ = 0;
  std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> index_;  // text -> entry, past kScannedTexts
  std::vector<std::size_t> held_order_;  // entries held back, first time first
};

}  // namespace orvane
