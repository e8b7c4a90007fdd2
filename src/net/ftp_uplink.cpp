#include "net/ftp_uplink.hpp"

#include <curl/curl.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace orvane {
namespace {

struct UploadSource {
  std::string_view rest;
};

size_t read_upload(char* buffer, size_t size, size_t count, void* user) {
  auto* source = static_cast<UploadSource*>(user);
  const size_t n = std::min(size * count, source->rest.size());
  std::memcpy(buffer, source->rest.data(), n);
  source->rest.remove_prefix(n);
  return n;
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

void global_init() {
  // process-wide: libcurl's global initialisation is the process's, once,
  // whichever station's uplink comes first.
  static std::once_flag once;  // process-wide by nature: curl_global_init is the process's
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

curl_socket_t curl_open_socket(void* self, curlsocktype, curl_sockaddr* address) {
  return static_cast<FtpUplink*>(self)->open_socket(address->family, address->socktype, address->protocol);
}

int curl_close_socket(void* self, curl_socket_t fd) {
  static_cast<FtpUplink*>(self)->close_socket(fd);
  return 0;
}

int curl_watch_socket(CURL*, curl_socket_t fd, int what, void* self, void*) {
  static_cast<FtpUplink*>(self)->watch_socket(fd, what);
  return 0;
}

// Runs every transfer, as curl_multi_perform does, and then tells the
// socket callback what each one wants watched: libcurl 7.88's
// curl_multi_perform never calls that callback, and curl_multi_socket_action
// runs only the transfers a ready socket or an expired timer names, never
// the one that watches nothing while its data connection is made, which is
// the one to ask again at once. Deprecated in libcurl for the cost of
// checking every transfer, with no plan to remove it; here there is one.
CURLMcode run_transfers(CURLM* m, int* running) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return curl_multi_socket_all(m, running);
#pragma GCC diagnostic pop
}

// How many times in a row libcurl is asked again at once while it watches no
// socket, before the loop waits a millisecond per turn.
constexpr int kBlindTurnsAtOnce = 64;

CURL* easy(void* p) { return static_cast<CURL*>(p); }
CURLM* multi(void* p) { return static_cast<CURLM*>(p); }

// "/a b/c" -> "%2Fa%20b/c/": the leading slash kept as a real root, each
// segment escaped.
std::string dir_path(CURL* handle, const std::string& path) {
  std::string out;
  std::size_t start = 0;
  if (!path.empty() && path.front() == '/') {
    out = "%2F";
    start = 1;
  }
  while (start < path.size()) {
    auto end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      char* escaped = curl_easy_escape(handle, path.data() + start, static_cast<int>(end - start));
      out += escaped;
      curl_free(escaped);
      out += '/';
    }
    start = end + 1;
  }
  if (out == "%2F") out += '/';
  return out;
}

}  // namespace

// libcurl's global set-up (its TLS libraries with it) waits for the first
// upload: an idle station doesn't carry its 2 MiB.
FtpUplink::FtpUplink(FtpTimeouts timeouts) : timeouts_(timeouts) {}

FtpUplink::~FtpUplink() { disconnect(); }

int FtpUplink::open_socket(int domain, int type, int protocol) {
  std::lock_guard lock(sockets_mutex_);
  if (cancelled_) return CURL_SOCKET_BAD;
  const int fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
  if (fd >= 0) sockets_.insert(fd);
  return fd;
}

void FtpUplink::close_socket(int fd) {
  std::lock_guard lock(sockets_mutex_);
  sockets_.erase(fd);
  ::close(fd);
}

void FtpUplink::watch_socket(int fd, int what) {
  const auto it = std::find(watched_.begin(), watched_.end(), fd);
  if (what == CURL_POLL_REMOVE) {
    if (it != watched_.end()) watched_.erase(it);
  } else if (it == watched_.end()) {
    watched_.push_back(fd);
  }
}

void FtpUplink::cancel() noexcept {
  std::lock_guard lock(sockets_mutex_);
  cancelled_ = true;
  for (const int fd : sockets_) ::shutdown(fd, SHUT_RDWR);
  if (multi_) curl_multi_wakeup(multi(multi_));
}

void FtpUplink::check_cancelled() const {
  if (cancelled_) throw std::runtime_error("FTP: the station is closing");
}

void FtpUplink::connect(const UplinkTarget& target) {
  disconnect();
  check_cancelled();
  global_init();
  {
    std::lock_guard lock(sockets_mutex_);
    multi_ = curl_multi_init();
  }
  easy_ = curl_easy_init();
  if (!multi_ || !easy_) throw std::runtime_error("cannot start the FTP client");
  CURL* h = easy(easy_);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_OPENSOCKETFUNCTION, curl_open_socket);
  curl_easy_setopt(h, CURLOPT_OPENSOCKETDATA, this);
  curl_easy_setopt(h, CURLOPT_CLOSESOCKETFUNCTION, curl_close_socket);
  curl_easy_setopt(h, CURLOPT_CLOSESOCKETDATA, this);
  curl_easy_setopt(h, CURLOPT_USERNAME, target.user.c_str());
  curl_easy_setopt(h, CURLOPT_PASSWORD, target.password.c_str());
  // libcurl's connect phase takes in the greeting and the login (banner,
  // USER, PASS, PWD): a host that answers slowly but answers still gets in.
  const auto connect_phase = timeouts_.connect + 4 * timeouts_.response;
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect_phase.count()));
  curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                   static_cast<long>(std::max<long long>(1, timeouts_.response.count() / 1000)));
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts_.transfer.count()));
  curl_easy_setopt(h, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(h, CURLOPT_MAXCONNECTS, 1L);
  // Every operation of an upload goes over the one cached control connection.
  curl_multi_setopt(multi(multi_), CURLMOPT_MAX_HOST_CONNECTIONS, 1L);
  curl_multi_setopt(multi(multi_), CURLMOPT_SOCKETFUNCTION, curl_watch_socket);
  curl_multi_setopt(multi(multi_), CURLMOPT_SOCKETDATA, this);
  std::string host = target.host;
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  base_url_ = "ftp://" + host + ":" + std::to_string(target.port) + "/";
  curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>((connect_phase + timeouts_.transfer).count()));
  perform(base_url_, {});
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts_.transfer.count()));
  connected_ = true;
}

void FtpUplink::change_dir(const std::string& path) {
  if (!connected_) throw std::runtime_error("not connected");
  dir_url_ = base_url_ + dir_path(easy(easy_), path);
  curl_easy_setopt(easy(easy_), CURLOPT_NOBODY, 1L);
  perform(dir_url_, {});
}

void FtpUplink::store(const std::string& name, std::string_view bytes) {
  if (!connected_) throw std::runtime_error("not connected");
  CURL* h = easy(easy_);
  curl_easy_setopt(h, CURLOPT_NOBODY, 0L);
  curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
  perform(dir_url_ + name, bytes);
  curl_easy_setopt(h, CURLOPT_UPLOAD, 0L);
}

void FtpUplink::perform(const std::string& url, std::string_view upload) {
  CURL* h = easy(easy_);
  CURLM* m = multi(multi_);
  UploadSource source{upload};
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_READFUNCTION, read_upload);
  curl_easy_setopt(h, CURLOPT_READDATA, &source);
  curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(upload.size()));
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  if (curl_multi_add_handle(m, h) != CURLM_OK) throw std::runtime_error("cannot start an FTP transfer");
  CURLcode result = CURLE_OK;
  int blind_turns = 0;  // turns in a row with no socket to watch
  for (;;) {
    if (cancelled_) {
      result = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    int running = 0;
    if (run_transfers(m, &running) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    int queued = 0;
    bool done = false;
    while (CURLMsg* msg = curl_multi_info_read(m, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == h) {
        result = msg->data.result;
        done = true;
      }
    }
    if (done || running == 0) break;
    long wait_ms = -1;
    curl_multi_timeout(m, &wait_ms);
    if (watched_.empty()) {
      // Between the passive-mode reply and the data connection libcurl
      // watches no socket at all, though on loopback the connection is
      // there a few microseconds later: ask again at once a few times
      // before waiting a millisecond per turn (a whole millisecond on every
      // store cost a third of the upload rate).
      if (++blind_turns <= kBlindTurnsAtOnce) continue;
      wait_ms = (wait_ms < 0 || wait_ms > 1) ? 1 : wait_ms;
    } else {
      blind_turns = 0;
      if (wait_ms < 0 || wait_ms > 100) wait_ms = 100;
    }
    if (wait_ms > 0) curl_multi_wait(m, nullptr, 0, static_cast<int>(wait_ms), nullptr);
  }
  curl_multi_remove_handle(m, h);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
  check_cancelled();
  if (result != CURLE_OK)
    throw std::runtime_error(std::string("FTP: ") + (error[0] ? error : curl_easy_strerror(result)));
}

void FtpUplink::disconnect() noexcept {
  void* m = nullptr;
  {
    std::lock_guard lock(sockets_mutex_);
    m = multi_;
    multi_ = nullptr;
  }
  if (easy_) curl_easy_cleanup(easy(easy_));
  easy_ = nullptr;
  // Closes the control connection (QUIT; on shut-down sockets it fails at once).
  if (m) curl_multi_cleanup(multi(m));
  watched_.clear();
  connected_ = false;
}

}  // namespace orvane
