#include "station/operator_log.hpp"

#include "core/limits.hpp"

#include <asio/post.hpp>

#include <utility>

namespace orvane {

OperatorLog::OperatorLog(asio::io_context& ioc) : ioc_(ioc), owner_(std::this_thread::get_id()) {}

namespace {
// Entries kept for the next bound; a message with more texts gives the rest back.
constexpr std::size_t kKeptRepeats = 64;
}  // namespace

void OperatorLog::log(std::string text) {
  if (std::this_thread::get_id() == owner_) {
    if (passes_bound(text)) append(std::move(text));
  } else {
    asio::post(ioc_, [this, text = std::move(text)]() mutable { append(std::move(text)); });
  }
}

void OperatorLog::log_copy(std::string_view text) {
  if (std::this_thread::get_id() != owner_) return log(std::string(text));
  if (passes_bound(text)) append_copy(text);
}

bool OperatorLog::passes_counted_bound(std::string_view text) {
  if (repeats_used_ == 0) {
    // The bound's first lines, let through uncounted: counted now, from
    // the memo's newest lines, where every line the bound let through went.
    for (std::size_t k = bound_lines_; k > 0; --k) ++repeats(repeats_of(memo_[memo_.size() - k])).logged;
  }
  const auto at = repeats_of(text);
  auto& r = repeats(at);
  if (r.logged == limits::kRepeatedLogLines) {
    if (r.held++ == 0) held_order_.push_back(at);
    return false;
  }
  ++r.logged;
  return true;
}

// Up to kLinearRepeats texts in one bound a linear search is the fastest
// lookup; past them the index is built.
std::size_t OperatorLog::repeats_of(std::string_view text) {
  if (repeats_used_ <= kLinearRepeats) {
    for (std::size_t i = 0; i < repeats_used_; ++i)
      if (first_repeats_[i].text == text) return i;
  } else if (const auto found = index_.find(text); found != index_.end()) {
    return found->second;
  }
  if (repeats_used_ >= kLinearRepeats && repeats_used_ - kLinearRepeats == more_repeats_.size())
    more_repeats_.emplace_back();
  auto& r = repeats(repeats_used_++);
  if (r.text != text) r.text.assign(text);  // an entry often meets the text it had in the message before
  r.logged = r.held = 0;
  if (repeats_used_ > kLinearRepeats) {
    if (index_.empty())
      for (std::size_t i = 0; i < repeats_used_; ++i) index_.emplace(repeats(i).text, i);
    else
      index_.emplace(r.text, repeats_used_ - 1);
  }
  return repeats_used_ - 1;
}

void OperatorLog::end_repeat_bound() {
  if (--bound_depth_ > 0) return;
  bound_lines_ = 0;
  if (held_order_.empty() && repeats_used_ <= kLinearRepeats) {
    repeats_used_ = 0;  // the common message: nothing held back, no index built
    return;
  }
  const auto held = std::exchange(held_order_, {});
  std::vector<std::string> more;
  more.reserve(held.size());
  for (const auto i : held) more.push_back(repeats(i).text + " (" + std::to_string(repeats(i).held) + " more)");
  repeats_used_ = 0;
  index_.clear();
  if (more_repeats_.size() > kKeptRepeats - kLinearRepeats) {
    more_repeats_.resize(kKeptRepeats - kLinearRepeats);
    more_repeats_.shrink_to_fit();
    index_.rehash(0);
  }
  for (auto& line : more) append(std::move(line));
}

void OperatorLog::add_observer(Observer observer) { observers_.push_back(std::move(observer)); }

void OperatorLog::append(std::string text) {
  std::string& line = memo_.add();
  line = std::move(text);
  count_and_tell(line);
}

void OperatorLog::append_copy(std::string_view text) {
  std::string& line = memo_.add();
  line.assign(text);
  count_and_tell(line);
}

void OperatorLog::count_and_tell(const std::string& line) {
  ++appended_;
  for (const auto& observer : observers_) observer(line);
}

}  // namespace orvane
