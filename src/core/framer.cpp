#include "core/framer.hpp"

namespace orvane {

void Framer::release_large() {
  if (text_.capacity() > limits::kFramerKeepBytes) std::string().swap(text_);
  if (starts_.capacity() > limits::kFramerKeepBytes / sizeof(std::uint32_t)) std::vector<std::uint32_t>().swap(starts_);
  if (views_.capacity() > limits::kFramerKeepBytes / sizeof(std::string_view))
    std::vector<std::string_view>().swap(views_);
}

void Framer::drop() {
  inside_ = false;
  bytes_ = 0;
  std::string().swap(text_);
  std::vector<std::uint32_t>().swap(starts_);
  std::vector<std::string_view>().swap(views_);
}

void Framer::begin_message() {
  release_large();
  text_.clear();
  starts_.clear();
  starts_.push_back(0);  // the header line
  inside_ = true;
  bytes_ = 1;
}

bool Framer::grow(std::size_t n) {
  bytes_ += n;
  if (bytes_ <= max_bytes_) return true;
  drop();
  return false;
}

void Framer::finish_views() {
  views_.clear();
  for (std::size_t i = 0; i < starts_.size(); ++i) {
    const std::size_t b = starts_[i];
    const std::size_t e = i + 1 < starts_.size() ? starts_[i + 1] : text_.size();
    views_.emplace_back(text_.data() + b, e - b);
  }
}

}  // namespace orvane
