// How SIGTERM / SIGINT (seen on the station thread) end the window loop.
// Header-only and free of Qt: the executable requests, the window module binds.
#pragma once
#include <functional>
#include <mutex>
#include <utility>

namespace orvane::ui {

class WindowQuit {
 public:
  // Any thread. A request that comes before the window loop exists is kept
  // and carried out as soon as it does: a stop signal during start-up must
  // not leave a window running beside a stopped station.
  void request() {
    std::lock_guard lock(mutex_);
    requested_ = true;
    if (quit_) quit_();
  }

  // Window thread: `quit` ends the loop (it must be safe to call from any
  // thread); an empty function unbinds before the loop goes away.
  void bind(std::function<void()> quit) {
    std::lock_guard lock(mutex_);
    quit_ = std::move(quit);
    if (requested_ && quit_) quit_();
  }

 private:
  std::mutex mutex_;
  std::function<void()> quit_;
  bool requested_ = false;
};

}  // namespace orvane::ui
