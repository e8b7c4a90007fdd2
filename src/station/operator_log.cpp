#include "station/operator_log.hpp"

#include "core/limits.hpp"

#include <asio/post.hpp>

namespace orvane {

OperatorLog::OperatorLog(asio::io_context& ioc) : ioc_(ioc), owner_(std::this_thread::get_id()) {}

void OperatorLog::log(std::string text) {
  if (std::this_thread::get_id() == owner_) {
    append(std::move(text));
  } else {
    asio::post(ioc_, [this, text = std::move(text)]() mutable { append(std::move(text)); });
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
