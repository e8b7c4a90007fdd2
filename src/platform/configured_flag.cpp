#include "platform/configured_flag.hpp"

#include "core/comma_text.hpp"
#include "core/text_file.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace orvane {

std::filesystem::path FileConfiguredFlag::default_path() {
  std::filesystem::path base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::filesystem::path(home) / ".config";
  } else {
    base = "/tmp";
  }
  return base / "kelv" / "emu" / "1.21" / "flag";
}

bool FileConfiguredFlag::is_set() const {
  std::ifstream in(path_, std::ios::binary);
  if (!in) return false;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return trim(text) == "1";
}

void FileConfiguredFlag::set() {
  try {
    std::filesystem::create_directories(path_.parent_path());
    write_file_atomic(path_, "1\r\n");
  } catch (...) {
    // As the flag's contract says: a store that can't be written is ignored.
  }
}

}  // namespace orvane
