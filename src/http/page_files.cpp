#include "http/page_files.hpp"

namespace orvane::http {
namespace {

struct Kind {
  std::string_view extension;
  const char* content_type;
};

// cmake/embed_page.cmake lets no other extension into the table.
constexpr Kind kKinds[] = {
    {".html", "text/html; charset=utf-8"},     {".css", "text/css; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"}, {".svg", "image/svg+xml"},
    {".txt", "text/plain; charset=utf-8"},
};

// Station texts come from hosts: should one ever reach the page as markup,
// no script or style of its own may run, and nothing is loaded from
// elsewhere.
constexpr const char* kPagePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

}  // namespace

const PageFile* find_page_file(std::string_view path) {
  for (const auto& file : page_files())
    if (file.path == path) return &file;
  return nullptr;
}

Response page_response(const PageFile& file) {
  const bool page = file.path == "/" || file.path.ends_with(".html");
  const std::string_view name = page ? std::string_view(".html") : file.path;
  Response answer{200, "application/octet-stream", std::string(file.body), {}};
  for (const auto& kind : kKinds)
    if (name.ends_with(kind.extension)) answer.content_type = kind.content_type;
  answer.headers.emplace_back("Cache-Control", "no-cache");
  answer.headers.emplace_back("X-Content-Type-Options", "nosniff");
  if (page) {
    answer.headers.emplace_back("Content-Security-Policy", kPagePolicy);
    answer.headers.emplace_back("Referrer-Policy", "no-referrer");
  }
  return answer;
}

}  // namespace orvane::http
