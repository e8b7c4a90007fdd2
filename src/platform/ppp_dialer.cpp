#include "platform/ppp_dialer.hpp"

#include "core/comma_text.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <thread>

namespace orvane {
namespace {

// The number goes into a command line that pppd hands to a shell.
bool safe_number(const std::string& number) {
  return std::all_of(number.begin(), number.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '+' || c == '*' || c == '#' || c == ',' || c == 'W' || c == 'P' || c == 'T' ||
           c == ' ' || c == '-';
  });
}

}  // namespace

PppdDialer::PppdDialer(PppdOptions options) : options_(std::move(options)) {}

PppdDialer::~PppdDialer() {
  std::lock_guard lock(mutex_);
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::string PppdDialer::exit_text(int status) {
  switch (status) {
    case 1:
      return "pppd has detected a serious error";
    case 2:
      return "An error was detected in processing the options given";
    case 3:
      return "pppd is not setuid-root and the invoking user is not root";
    case 4:
      return "The kernel does not support PPP";
    case 5:
      return "pppd terminated because it was sent a signal";
    case 6:
      return "The serial port could not be locked";
    case 7:
      return "The serial port could not be opened";
    case 8:
      return "The connect script failed";
    case 9:
      return "The command specified as the argument to the pty option could not be run";
    case 10:
      return "The PPP negotiation failed";
    case 11:
      return "The peer system failed (or refused) to authenticate itself";
    case 12:
      return "The link was established successfully and terminated because it was idle";
    case 13:
      return "The link was established successfully and terminated because the connect time limit was reached";
    case 14:
      return "Callback was negotiated and an incoming call should arrive shortly";
    case 15:
      return "The link was terminated because the peer is not responding to echo requests";
    case 16:
      return "The link was terminated by the modem hanging up";
    case 17:
      return "The PPP negotiation failed because serial loopback was detected";
    case 18:
      return "The init script failed";
    case 19:
      return "We failed to authenticate ourselves to the peer";
    default:
      return "pppd ended with status " + std::to_string(status);
  }
}

std::vector<std::string> PppdDialer::phonebook_entries() {
  std::error_code ec;
  std::vector<std::string> entries;
  for (const auto& e : std::filesystem::directory_iterator(options_.peers_dir, ec)) {
    if (e.is_regular_file(ec)) entries.push_back(e.path().filename().string());
  }
  if (ec) throw DialError("cannot read " + options_.peers_dir.string() + ": " + ec.message());
  std::sort(entries.begin(), entries.end());
  return entries;
}

bool PppdDialer::interface_up() const {
  std::ifstream in("/sys/class/net/" + options_.ifname + "/flags");
  unsigned long flags = 0;
  if (!(in >> std::hex >> flags)) return false;
  return (flags & 0x1) != 0;  // IFF_UP
}

void PppdDialer::reap_locked() {
  if (pid_ <= 0 || exited_) return;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    exited_ = true;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 5;
  }
}

int PppdDialer::dial(const std::string& entry, const std::string& number, const std::string& user,
                     const std::string& password) {
  std::unique_lock lock(mutex_);
  reap_locked();
  if (pid_ > 0 && !exited_) throw DialError("A connection is already being dialled", static_cast<int>(pid_));
  if (!safe_number(number)) throw DialError("The telephone number holds characters that cannot be dialled");
  std::vector<std::string> args{options_.pppd, "call", entry, "nodetach", "ifname", options_.ifname};
  if (!trim(user).empty()) args.insert(args.end(), {"user", user});
  if (!password.empty()) args.insert(args.end(), {"password", password});
  if (!options_.chat_script.empty())
    args.insert(args.end(), {"connect", options_.chat + " -f " + options_.chat_script.string() + " -T " + number});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw DialError("Cannot start pppd");
  if (pid == 0) {
    ::signal(SIGPIPE, SIG_DFL);  // the station ignores it; pppd gets the default back
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  pid_ = pid;
  exited_ = false;
  entry_ = entry;
  const auto deadline = std::chrono::steady_clock::now() + options_.dial_timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    reap_locked();
    if (exited_) {
      const int status = exit_status_;
      pid_ = -1;
      throw DialError(status == 127 ? "Cannot run " + options_.pppd : exit_text(status));
    }
    if (interface_up()) return static_cast<int>(pid_);
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    lock.lock();
  }
  throw DialError("The link did not come up in time", static_cast<int>(pid_));
}

std::vector<DialConnection> PppdDialer::connections() {
  std::lock_guard lock(mutex_);
  reap_locked();
  if (pid_ <= 0) return {};
  int state = 2;  // connecting device
  if (exited_) {
    state = kDialStateDisconnected;
  } else if (interface_up()) {
    state = kDialStateConnected;
  }
  return {DialConnection{static_cast<int>(pid_), entry_, state}};
}

void PppdDialer::hang_up(int handle) {
  std::lock_guard lock(mutex_);
  if (handle != static_cast<int>(pid_) || pid_ <= 0) throw DialError("No such connection");
  if (!exited_) {
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 50 && !exited_; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      reap_locked();
    }
    if (!exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  pid_ = -1;
  exited_ = false;
}

}  // namespace orvane
