// The operator log: the memo every subsystem reports to, bounded to 201
// lines, with observers (stdout when headless, the window otherwise).
#pragma once
#include "core/limits.hpp"

#include <asio/io_context.hpp>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace orvane {

// The memo's lines, oldest first: a ring of at most `capacity` lines whose
// storage is kept, so a line added to a full memo takes the storage of the
// one that leaves.
class MemoLines {
 public:
  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::string;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::string*;
    using reference = const std::string&;

    const_iterator() = default;
    const_iterator(const MemoLines* lines, difference_type at) : lines_(lines), at_(at) {}
    reference operator*() const { return (*lines_)[static_cast<std::size_t>(at_)]; }
    pointer operator->() const { return &**this; }
    reference operator[](difference_type n) const { return *(*this + n); }
    const_iterator& operator++() { return ++at_, *this; }
    const_iterator operator++(int) { return {lines_, at_++}; }
    const_iterator& operator--() { return --at_, *this; }
    const_iterator operator--(int) { return {lines_, at_--}; }
    const_iterator& operator+=(difference_type n) { return at_ += n, *this; }
    const_iterator& operator-=(difference_type n) { return at_ -= n, *this; }
    friend const_iterator operator+(const_iterator i, difference_type n) { return i += n; }
    friend const_iterator operator+(difference_type n, const_iterator i) { return i += n; }
    friend const_iterator operator-(const_iterator i, difference_type n) { return i -= n; }
    friend difference_type operator-(const const_iterator& a, const const_iterator& b) { return a.at_ - b.at_; }
    friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.at_ == b.at_; }
    friend auto operator<=>(const const_iterator& a, const const_iterator& b) { return a.at_ <=> b.at_; }

   private:
    const MemoLines* lines_ = nullptr;
    difference_type at_ = 0;
  };

  explicit MemoLines(std::size_t capacity) : capacity_(capacity) {}

  std::size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }
  const std::string& operator[](std::size_t i) const {
    const std::size_t at = first_ + i;
    return slots_[at < slots_.size() ? at : at - slots_.size()];
  }
  const std::string& front() const { return (*this)[0]; }
  const std::string& back() const { return (*this)[slots_.size() - 1]; }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, static_cast<std::ptrdiff_t>(slots_.size())}; }

  // The storage for a new last line: a new one while there is room, else
  // the oldest line's, which leaves.
  std::string& add() {
    if (slots_.size() < capacity_) return slots_.emplace_back();
    std::string& line = slots_[first_];
    first_ = first_ + 1 == slots_.size() ? 0 : first_ + 1;
    return line;
  }

 private:
  std::size_t capacity_;
  std::vector<std::string> slots_;
  std::size_t first_ = 0;  // where the oldest line is, once the ring is full
};

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
  const MemoLines& memo() const { return memo_; }
  std::string last_line() const { return memo_.empty() ? std::string() : memo_.back(); }
  // Lines ever added, so a reader can tell which memo lines are new to it.
  std::uint64_t appended() const { return appended_; }

 private:
  void append(std::string text);
  void append_copy(std::string_view text);
  // Counts the memo's newest line and tells the observers.
  void count_and_tell(const std::string& line);
  // Whether the bound lets one more of this text through (counts it either way).
  // Until a bound has let kRepeatedLogLines lines through, no text in it
  // can have reached the limit, so its texts are counted only when it gets
  // there (a host's one-line message never does).
  bool passes_bound(std::string_view text) {
    if (bound_depth_ == 0) return true;
    if (bound_lines_ < limits::kRepeatedLogLines) {
      ++bound_lines_;
      return true;
    }
    return passes_counted_bound(text);
  }
  bool passes_counted_bound(std::string_view text);
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
  MemoLines memo_{limits::kMemoLines + 1};  // 200 kept before each add, so 201 shown
  std::vector<Observer> observers_;
  std::uint64_t appended_ = 0;
  int bound_depth_ = 0;
  // Lines the bound let through before its texts were counted; at
  // kRepeatedLogLines they are, and its entries are in use from then on.
  std::size_t bound_lines_ = 0;
  // Entries 0..kLinearRepeats-1 (where a bound's texts are searched one by
  // one), then the rest; [0, repeats_used_) belong to the current bound.
  static constexpr std::size_t kLinearRepeats = 8;
  Repeats& repeats(std::size_t i) { return i < kLinearRepeats ? first_repeats_[i] : more_repeats_[i - kLinearRepeats]; }
  std::array<Repeats, kLinearRepeats> first_repeats_;
  std::deque<Repeats> more_repeats_;
  std::size_t repeats_used_ = 0;
  std::unordered_map<std::string_view, std::size_t> index_;  // text -> entry, past a few entries
  std::vector<std::size_t> held_order_;  // entries held back, first time first
};

}  // namespace orvane
