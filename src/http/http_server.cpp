#include "http/http_server.hpp"

#include "core/limits.hpp"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <sys/resource.h>
#include <unistd.h>
#include <netinet/in.h>

#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

namespace orvane::http {
namespace {

// The router's error form, {"error": reason}, written here so the module
// needs nothing of the executable.
Response error_answer(int status, const std::string& reason) {
  std::string body = "{\"error\":\"";
  for (const char c : reason) {
    if (c == '"' || c == '\\') body += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) body += c;
  }
  return {status, "application/json", body + "\"}\n"};
}

class MhdServer final : public HttpServer {
 public:
  MhdServer(const EndpointAddress& where, RequestHandler handler);
  ~MhdServer() override {
    if (daemon_) MHD_stop_daemon(daemon_);
  }
  unsigned short port() const override { return port_; }
  const RequestHandler& handler() const { return handler_; }

 private:
  RequestHandler handler_;
  MHD_Daemon* daemon_ = nullptr;
  unsigned short port_ = 0;
};

// One request's body as it arrives, bounded.
struct Pending {
  std::string body;
  bool too_large = false;
};

MHD_Result send(MHD_Connection* connection, const Response& answer) {
  MHD_Response* response =
      MHD_create_response_from_buffer(answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.content_type.c_str());
  for (const auto& [field, value] : answer.headers) MHD_add_response_header(response, field.c_str(), value.c_str());
  if (answer.status == 401) MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer");
  const MHD_Result result = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
  MHD_destroy_response(response);
  return result;
}

// Keeps the first value of each argument of the query string.
MHD_Result take_argument(void* cls, MHD_ValueKind, const char* key, const char* value) noexcept {
  try {
    static_cast<std::map<std::string, std::string>*>(cls)->emplace(key, value ? value : "");
    return MHD_YES;
  } catch (...) {
    return MHD_NO;
  }
}

MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                      const char* upload_data, size_t* upload_data_size, void** state) noexcept {
  try {
    auto* pending = static_cast<Pending*>(*state);
    if (!pending) {
      // On the endpoint's own thread (the server made it); raising the nice
      // value needs no privilege, and a thread already there stays there.
      ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), limits::kHttpThreadNice);
      *state = new Pending;
      return MHD_YES;
    }
    if (*upload_data_size > 0) {
      if (pending->too_large || pending->body.size() + *upload_data_size > limits::kHttpRequestBytes) {
        pending->too_large = true;
        pending->body.clear();
      } else {
        pending->body.append(upload_data, *upload_data_size);
      }
      *upload_data_size = 0;
      return MHD_YES;
    }
    if (pending->too_large)
      return send(connection, error_answer(413, "a request may hold at most " +
                                                    std::to_string(limits::kHttpRequestBytes) + " bytes"));
    Request request;
    request.method = method;
    request.path = url;
    if (const char* auth = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION))
      request.authorization = auth;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &take_argument, &request.query);
    request.body = std::move(pending->body);
    return send(connection, static_cast<const MhdServer*>(cls)->handler()(request));
  } catch (const std::exception& e) {
    return send(connection, error_answer(500, e.what()));
  } catch (...) {
    return MHD_NO;
  }
}

void on_completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) noexcept {
  delete static_cast<Pending*>(*state);
  *state = nullptr;
}

MhdServer::MhdServer(const EndpointAddress& where, RequestHandler handler) : handler_(std::move(handler)) {
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  const sockaddr* address = nullptr;
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL;
  if (::inet_pton(AF_INET, where.address.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(where.port);
    address = reinterpret_cast<const sockaddr*>(&v4);
  } else if (::inet_pton(AF_INET6, where.address.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(where.port);
    address = reinterpret_cast<const sockaddr*>(&v6);
    flags |= MHD_USE_IPv6;
  } else {
    throw std::runtime_error("HTTP endpoint: \"" + where.address + "\" is not an IP address");
  }
  daemon_ = MHD_start_daemon(flags, where.port, nullptr, nullptr, &on_request, this,  //
                             MHD_OPTION_SOCK_ADDR, address,  //
                             MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(limits::kHttpThreads),  //
                             MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(limits::kHttpMaxConnections),  //
                             MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(limits::kHttpRequestBytes),  //
                             MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(limits::kHttpRequestTimeoutS),  //
                             MHD_OPTION_NOTIFY_COMPLETED, &on_completed, nullptr,  //
                             MHD_OPTION_END);
  if (!daemon_)
    throw std::runtime_error("HTTP endpoint: cannot listen on " + where.address + ":" + std::to_string(where.port));
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info ? info->port : where.port;
}

}  // namespace

std::unique_ptr<HttpServer> start_http_server(const EndpointAddress& where, RequestHandler handler) {
  return std::make_unique<MhdServer>(where, std::move(handler));
}

}  // namespace orvane::http
