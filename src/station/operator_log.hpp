// The operator log: the memo every subsystem reports to, bounded to 201
// lines, with observers (stdout when headless, the window otherwise).
#pragma once
#include <asio/io_context.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvane {

class OperatorLog {
 public:
  using Observer = std::function<void(const std::string& line)>;

  // Lines logged from the owner thread are added at once; lines logged from
  // any other thread are posted to `ioc` and added there, in order.
  explicit OperatorLog(asio::io_context& ioc);

  void log(std::string text);

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

  asio::io_context& ioc_;
  std::thread::id owner_;
  std::deque<std::string> memo_;
  std::vector<Observer> observers_;
  std::uint64_t appended_ = 0;
};

}  // namespace orvane
