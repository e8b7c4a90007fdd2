// The status page's files, compiled into the program from src/http/page/
// (cmake/embed_page.cmake writes them into a generated source): the fleet
// table at "/", one station at "/station.html", their scripts, style and icon
// under "/static/". They are served from memory; a path not in the table
// names no file, whatever it holds.
#pragma once
#include "http/http_types.hpp"

#include <span>
#include <string_view>

namespace orvane::http {

struct PageFile {
  std::string_view path;  // as requested: "/", "/station.html", "/static/page.css"
  std::string_view body;
};

// Every file, in the generated source.
std::span<const PageFile> page_files();

// The file served at exactly `path`, or null.
const PageFile* find_page_file(std::string_view path);

// Its answer: the content type of its extension, revalidated at each load
// (a newer program may serve another page), and for the pages a content
// security policy that lets only the page's own scripts and styles run.
Response page_response(const PageFile& file);

}  // namespace orvane::http
