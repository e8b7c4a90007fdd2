#include "station/event_buffer.hpp"

#include "core/text_file.hpp"

namespace orvane {

void EventBuffer::load(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return;
  lines_ = read_lines(file);
}

}  // namespace orvane
