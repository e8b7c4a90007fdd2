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

OperatorLog::OperatorLog(asio::io_context& ioc) : ioc_(ioc), owner_(std::this_thread::get_id()) {}

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
  auto it = repeats_.find(text);
  if (it == repeats_.end()) it = repeats_.emplace(std::string(text), Repeats{}).first;
  auto& r = it->second;
  if (r.bound != bound_) r = Repeats{bound_};
  if (r.logged == limits::kRepeatedLogLines) {
    if (r.held++ == 0) held_order_.push_back(it);
    return false;
  }
  ++r.logged;
  return true;
}

void OperatorLog::end_repeat_bound() {
  if (--bound_depth_ > 0) return;
  ++bound_;
  std::vector<std::string> more;
  more.reserve(held_order_.size());
  for (const auto& it : held_order_) more.push_back(it->first + " (" + std::to_string(it->second.held) + " more)");
  held_order_.clear();
  if (repeats_.size() > kKeptTexts) decltype(repeats_)().swap(repeats_);
  for (auto& line : more) append(std::move(line));
}

void OperatorLog::add_observer(Observer observer) { observers_.push_back(std::move(observer)); }

void OperatorLog::append(std::string text) {
  if (memo_.size() == kMemoCapacity) memo_.pop_front();
  memo_.push_back(std::move(text));
  tell(memo_.back());
}

void OperatorLog::append_copy(std::string_view text) {
  std::string line;
  if (memo_.size() == kMemoCapacity) {
    line = std::move(memo_.front());
    memo_.pop_front();
  }
  line.assign(text);
  memo_.push_back(std::move(line));
  tell(memo_.back());
}

void OperatorLog::tell(const std::string& line) {
  ++appended_;
  for (const auto& observer : observers_) observer(line);
}

}  // namespace orvane
