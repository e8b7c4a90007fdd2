// The module simulator (tools/i7000-sim) run as a child process on a real
// pty, with its stdin open so tests can change inputs and faults mid-run.
#pragma once
#include "support/test_support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane::test {

class SimProcess {
 public:
  // Starts i7000-sim linking its pty to `link`, with extra arguments; waits
  // until it is ready.
  SimProcess(const std::filesystem::path& link, std::vector<std::string> args) : link_(link) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    args.insert(args.begin(), {built_program("i7000-sim").string(), "--link", link.string()});
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
    if (!wait_for("ready")) throw std::runtime_error("i7000-sim did not start: " + output_);
  }
  ~SimProcess() {
    if (in_ >= 0) ::close(in_);
    stop(SIGTERM);
    if (out_ >= 0) ::close(out_);
  }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Sends one stdin command ("1 3 12.5", "fault 1 silent") and waits for its "ok".
  bool command(const std::string& line) {
    const std::string bytes = line + "\n";
    if (::write(in_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return false;
    return wait_for("ok " + line);
  }

  // Ends the simulator (its pty master closes with it).
  // A simulator that doesn't end within 5 s is killed: a test never hangs on it.
  void stop(int sig) {
    if (pid_ <= 0) return;
    ::kill(pid_, sig);
    int status = 0;
    for (int waited_ms = 0; ::waitpid(pid_, &status, WNOHANG) == 0; waited_ms += 10) {
      if (waited_ms == 5000) ::kill(pid_, SIGKILL);
      ::usleep(10'000);
    }
    pid_ = -1;
  }

  const std::filesystem::path& link() const { return link_; }

 private:
  bool wait_for(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (output_.find(text) == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[512];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) return false;
      output_.append(buf, static_cast<std::size_t>(n));
    }
    return true;
  }

  std::filesystem::path link_;
  int pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string output_;
};

}  // namespace orvane::test
