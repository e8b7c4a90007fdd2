// A real FTP server for the uplink tests: tests/support/ftp_server.py
// (pyftpdlib) on a free loopback port, serving a scratch root that holds
// the station's default event folder.
#pragma once
#include "support/test_support.hpp"

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane::test {

class FtpTestServer {
 public:
  static constexpr const char* kEventPath = "/kyvex/debug/data";

  explicit FtpTestServer(std::vector<std::string> options = {}, int port = 0) {
    if (port) port_ = port;
    std::filesystem::create_directories(root_.path() / "kyvex" / "debug" / "data");
    std::vector<std::string> argv{"/usr/bin/python3", std::string(ORVANE_SOURCE_DIR) + "/tests/support/ftp_server.py",
                                  "--root",           root_.path().string(),
                                  "--port",           std::to_string(port_)};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = std::make_unique<ChildProcess>(argv);
    if (!process_->wait_for_output("ready"))
      throw std::runtime_error("FTP server did not start: " + process_->output());
  }

  int port() const { return port_; }
  std::filesystem::path folder() const { return root_.path() / "kyvex" / "debug" / "data"; }

  // Stored files by name, with their bytes.
  std::map<std::string, std::string> files() const {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(folder())) out[e.path().filename()] = read_text(e.path());
    return out;
  }
  // The files stored in `dir` (a folder under the root) by name, with their bytes.
  static std::map<std::string, std::string> files_in(const std::filesystem::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) out[e.path().filename()] = read_text(e.path());
    return out;
  }
  // Contents of the stored files in the order of their names.
  std::vector<std::string> contents() const {
    std::vector<std::string> out;
    for (const auto& [name, bytes] : files()) out.push_back(bytes);
    return out;
  }
  int connections() { return count("connect\n"); }
  int stored() { return count("stored "); }
  bool wait_stored(int n) {
    return wait_until([&] { return stored() >= n; });
  }

 private:
  int count(const std::string& what) {
    const auto& out = process_->output();
    int n = 0;
    for (auto at = out.find(what); at != std::string::npos; at = out.find(what, at + 1)) ++n;
    return n;
  }

  TempDir root_;
  int port_ = free_tcp_port();
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace orvane::test
