// A request as the endpoint's router sees it, and its answer; no sockets.
#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace orvane::http {

struct Request {
  std::string method;  // "GET", "POST", ...
  std::string path;  // without the query
  std::string authorization;  // the Authorization header, empty when absent
  std::string body;
  std::map<std::string, std::string> query;  // the query string's arguments, decoded (the first of a name)
};

struct Response {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // more header fields (Cache-Control ...)
};

}  // namespace orvane::http
