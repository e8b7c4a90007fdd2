// The event uplink's FTP client on libcurl: passive mode, one control
// connection per upload (connect to disconnect), each event stored under the
// name the delivery gives it, replacing the host's file of an earlier store
// of the same event. Transfers run on libcurl's multi interface, polled at
// most 1 ms while libcurl has no socket to watch: the easy interface of
// libcurl 7.88 can stall a full second before a data connection. Which
// sockets it watches comes from its socket callback, not from select()'s
// descriptor sets, which can't hold a socket numbered past 1 023.
#pragma once
#include "core/limits.hpp"
#include "station/event_uplink.hpp"

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace orvane {

struct FtpTimeouts {
  std::chrono::milliseconds connect{
      limits::kFtpConnectTimeoutMs};  // TCP connect (the login's replies get `response` each on top)
  std::chrono::milliseconds response{limits::kFtpResponseTimeoutMs};  // each server reply (login, CWD, STOR)
  std::chrono::milliseconds transfer{limits::kFtpTransferTimeoutMs};  // one whole operation
};

class FtpUplink final : public EventUplink {
 public:
  explicit FtpUplink(FtpTimeouts timeouts = {});
  ~FtpUplink() override;
  FtpUplink(const FtpUplink&) = delete;
  FtpUplink& operator=(const FtpUplink&) = delete;

  void connect(const UplinkTarget& target) override;
  bool connected() const override { return connected_; }
  void change_dir(const std::string& path) override;
  void store(const std::string& name, std::string_view bytes) override;
  void disconnect() noexcept override;
  // Shuts the client's sockets down, so nothing waits on the host.
  void cancel() noexcept override;

  // libcurl's socket callbacks: the sockets are kept so that cancel() can
  // shut them down from another thread.
  int open_socket(int domain, int type, int protocol);
  void close_socket(int fd);
  // libcurl's socket callback: `fd` is to be watched (`what` CURL_POLL_IN,
  // _OUT, _INOUT) or no longer (CURL_POLL_REMOVE).
  void watch_socket(int fd, int what);

 private:
  void perform(const std::string& url, std::string_view upload);
  void check_cancelled() const;

  std::atomic<bool> cancelled_{false};
  std::mutex sockets_mutex_;  // guards sockets_ and multi_ against cancel()
  std::set<int> sockets_;

  FtpTimeouts timeouts_;
  void* multi_ = nullptr;  // CURLM*
  void* easy_ = nullptr;  // CURL*
  std::vector<int> watched_;  // sockets libcurl wants watched now, on the uploading thread
  bool connected_ = false;
  std::string base_url_;  // ftp://host:port/
  std::string dir_url_;  // base + the folder, ending with '/'
};

}  // namespace orvane
