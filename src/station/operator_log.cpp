#include "station/operator_log.hpp"

#include "core/limits.hpp"

#include <asio/post.hpp>

#include <utility>

namespace orvane {

namespace {
// The memo keeps 200 lines before each addition, so 201 are shown.
constexpr std::size_t kMemoCapacity = limits::kMemoLines + 1;
// Texts whose entries are kept from one bound to the next; a bound with
// more gives them all back when it ends.
constexpr std::size_t kKeptTexts = 64;
}  // namespace

OperatorLog::OperatorLog(asio::io_context& ioc)
    : ioc_(ioc), owner_(std::this_thread::get_id()), slots_(2 * kMemoCapacity) {}

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

bool OperatorLog::passes_bound(std::string_view text) {
  if (bound_depth_ == 0) return true;
  if (!counting_) {
    // No text can pass the limit before the bound has let that many lines
    // through, so the first ones only pass (most messages log two). Then
    // they are counted, from the memo, where each of them went.
    if (uncounted_ < limits::kRepeatedLogLines) {
      ++uncounted_;
      return true;
    }
    counting_ = true;
    const auto lines = memo();
    for (std::size_t k = uncounted_; k > 0; --k) ++repeats_[repeats_of(lines[lines.size() - k])].logged;
  }
  const std::size_t at = repeats_of(text);
  auto& r = repeats_[at];
  if (r.logged == limits::kRepeatedLogLines) {
    if (r.held++ == 0) held_order_.push_back(at);
    return false;
  }
  ++r.logged;
  return true;
}

std::size_t OperatorLog::repeats_of(std::string_view text) {
  if (index_.empty()) {
    for (std::size_t i = 0; i < used_; ++i)
      if (repeats_[i].text == text) return i;
  } else if (const auto found = index_.find(text); found != index_.end()) {
    return found->second;
  }
  if (used_ == repeats_.size()) repeats_.emplace_back();
  auto& r = repeats_[used_++];
  if (r.text != text) r.text.assign(text);  // an entry often meets the text it had in the message before
  r.logged = r.held = 0;
  if (used_ > kScannedTexts) {
    if (index_.empty())
      for (std::size_t i = 0; i < used_; ++i) index_.emplace(repeats_[i].text, i);
    else
      index_.emplace(r.text, used_ - 1);
  }
  return used_ - 1;
}

void OperatorLog::end_repeat_bound() {
  if (--bound_depth_ > 0) return;
  uncounted_ = 0;
  counting_ = false;
  if (held_order_.empty() && index_.empty()) {
    used_ = 0;  // the common message: nothing held back, few texts
    return;
  }
  std::vector<std::string> more;
  more.reserve(held_order_.size());
  for (const auto i : held_order_)
    more.push_back(repeats_[i].text + " (" + std::to_string(repeats_[i].held) + " more)");
  held_order_.clear();
  used_ = 0;
  index_.clear();
  if (repeats_.size() > kKeptTexts) {
    repeats_.resize(kKeptTexts);
    repeats_.shrink_to_fit();
    index_.rehash(0);
  }
  for (auto& line : more) append(std::move(line));
}

void OperatorLog::add_observer(Observer observer) { observers_.push_back(std::move(observer)); }

std::string& OperatorLog::new_slot() {
  if (end_ == slots_.size()) {
    for (std::size_t i = first_; i < end_; ++i) slots_[i - first_].swap(slots_[i]);
    end_ -= first_;
    first_ = 0;
  }
  return slots_[end_];
}

void OperatorLog::append(std::string text) {
  std::string& line = new_slot();
  line = std::move(text);
  tell(line);
}

void OperatorLog::append_copy(std::string_view text) {
  std::string& line = new_slot();
  line.assign(text);
  tell(line);
}

void OperatorLog::tell(const std::string& line) {
  if (++end_ - first_ > kMemoCapacity) ++first_;
  ++appended_;
  for (const auto& observer : observers_) observer(line);
}

}  // namespace orvane
