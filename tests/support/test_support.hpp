// Helpers shared by the test programs: scratch station directories, files,
// free ports, the built programs and running them.
#pragma once
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace orvane::test {

// A fresh directory under the system temp folder, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

void write_text(const std::filesystem::path& file, const std::string& text);
std::string read_text(const std::filesystem::path& file);
// A fleet's station template in `dir`: emulate.ini with the FTP host on
// 127.0.0.2:`ftp_port` (user Guest), identity F and S, history every
// second and event checks every `event_sample_ms`; simulated module 01
// (module.con); `channels` and `sensors` as channel.con and sensor.con;
// reading from the start (auto.con).
void write_fleet_template(const std::filesystem::path& dir, int ftp_port, const std::string& channels,
                          const std::string& sensors, int event_sample_ms = 1000);
// The non-empty lines of a text (CR LF or LF).
std::vector<std::string> lines_of(const std::string& text);
// One READ_DATA round trip with the station on 127.0.0.1:`port`, on a
// connection of its own with 3 s to answer: the reply, or what came before
// the station closed (nothing when it shut the host out).
std::string read_data(int port, const std::string& factory, const std::string& sensor);

// A TCP port on 127.0.0.1 that nothing listens on right now.
int free_tcp_port();

// Whether something accepts connections on 127.0.0.1:port.
bool can_connect(int port);

// Path of a program built by this project (orvane-emulator, i7000-sim, ...).
std::filesystem::path built_program(const std::string& name);

// The built station program copied alone into <prefix>/bin, where it finds
// none of its modules; returns the copy's path.
std::filesystem::path copy_program_into(const TempDir& prefix);

// The command line of the built station program in `dir`, with its lock and
// flag files there and power commands that do nothing, then `extra`.
std::vector<std::string> station_command(const std::filesystem::path& dir, std::vector<std::string> extra = {});

// Polls `done` every few ms until it holds or the timeout passes.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A child process with its stdout (and stderr) captured through a pipe.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env = {},
               const std::filesystem::path& cwd = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Output read so far (reads what is available without blocking).
  const std::string& output();
  // Waits until the output contains `text`.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Sends a signal and waits for the exit; returns the exit status (or 128+signal).
  int signal_and_wait(int sig, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits for the process to end by itself; -1 on timeout.
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  bool running();
  int pid() const { return pid_; }
  // The read end of the child's stdout pipe (to shrink it, or to stall it by
  // not reading), and closing it: the reader goes away.
  int output_fd() const { return out_fd_; }
  void close_output();

 private:
  void drain();
  int pid_ = -1;
  int out_fd_ = -1;
  int status_ = -1;
  bool exited_ = false;
  std::string output_;
};

}  // namespace orvane::test
