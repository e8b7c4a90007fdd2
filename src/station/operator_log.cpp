#include "station/operator_log.hpp"

#include "core/limits.hpp"

#include <asio/post.hpp>

#include <utility>

namespace orvane {

OperatorLog::OperatorLog(asio::io_context& ioc) : ioc_(ioc), owner_(std::this_thread::get_id()) {}

void OperatorLog::log(std::string text) {
  if (std::this_thread::get_id() == owner_) {
    if (bound_depth_ > 0) {
      auto& r = repeats_[text];
      if (r.logged == limits::kRepeatedLogLines) {
        if (r.held++ == 0) held_order_.push_back(text);
        return;
      }
      ++r.logged;
    }
    append(std::move(text));
  } else {
    asio::post(ioc_, [this, text = std::move(text)]() mutable { append(std::move(text)); });
  }
}

void OperatorLog::end_repeat_bound() {
  if (--bound_depth_ > 0) return;
  auto held = std::exchange(held_order_, {});
  auto repeats = std::exchange(repeats_, {});
  for (auto& text : held) {
    const auto n = repeats[text].held;
    append(std::move(text) + " (" + std::to_string(n) + " more)");
  }
}

void OperatorLog::add_observer(Observer observer) { observers_.push_back(std::move(observer)); }

void OperatorLog::append(std::string text) {
  while (memo_.size() > limits::kMemoLines) memo_.pop_front();
  memo_.push_back(std::move(text));
  ++appended_;
  for (const auto& observer : observers_) observer(memo_.back());
}

}  // namespace orvane
