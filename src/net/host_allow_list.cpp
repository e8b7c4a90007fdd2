#include "net/host_allow_list.hpp"

#include <algorithm>
#include <charconv>
#include <functional>

namespace orvane {
namespace {

// The address a peer is matched by: IPv4-mapped IPv6 becomes IPv4.
asio::ip::address unmapped(const asio::ip::address& a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
  return a;
}

bool is_separator(char c) { return c == ',' || static_cast<unsigned char>(c) <= 32; }

// Zeroes the bits after the prefix, so "10.1.2.3/16" is kept as 10.1.0.0/16.
void mask(std::array<std::uint8_t, 16>& bytes, int bits) {
  for (int i = 0; i < 16; ++i) {
    const int keep = std::min(8, std::max(0, bits - 8 * i));
    bytes[static_cast<std::size_t>(i)] &= static_cast<std::uint8_t>(0xff00u >> keep);
  }
}

}  // namespace

std::string host_address_text(const asio::ip::address& address) { return unmapped(address).to_string(); }

HostAllowList HostAllowList::parse(std::string_view text) {
  HostAllowList list;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_separator(text[i])) ++i;
    const auto begin = i;
    while (i < text.size() && !is_separator(text[i])) ++i;
    if (i == begin) continue;
    const auto entry = text.substr(begin, i - begin);
    list.restricts_ = true;
    Prefix p;
    if (parse_entry(entry, p)) {
      list.prefixes_.push_back(p);
      list.index(p);
    } else
      list.rejected_.emplace_back(entry);
  }
  return list;
}

bool HostAllowList::parse_entry(std::string_view text, Prefix& out) {
  const auto slash = text.find('/');
  const auto address_text = text.substr(0, slash);
  // Scope ids (fe80::1%eth0) name an interface, not a host: not accepted.
  if (address_text.empty() || address_text.find('%') != std::string_view::npos) return false;
  std::error_code ec;
  auto address = asio::ip::make_address(std::string(address_text), ec);
  if (ec) return false;
  int max_bits = address.is_v4() ? 32 : 128;
  int bits = max_bits;
  if (slash != std::string_view::npos) {
    const auto digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return false;
    const auto [end, err] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
    if (err != std::errc() || end != digits.data() + digits.size() || bits < 0 || bits > max_bits) return false;
  }
  // An IPv4-mapped entry whose prefix covers the mapping is an IPv4 prefix.
  if (address.is_v6() && address.to_v6().is_v4_mapped() && bits >= 96) {
    address = unmapped(address);
    bits -= 96;
    max_bits = 32;
  }
  out.v4 = address.is_v4();
  out.bytes = {};
  if (out.v4) {
    const auto b = address.to_v4().to_bytes();
    std::copy(b.begin(), b.end(), out.bytes.begin());
  } else {
    out.bytes = address.to_v6().to_bytes();
  }
  out.bits = bits;
  mask(out.bytes, bits);
  return true;
}

HostAllowList::Key HostAllowList::key_of(const std::array<std::uint8_t, 16>& masked, int bits) {
  Key k;
  for (int i = 0; i < 8; ++i) {
    k.hi = (k.hi << 8) | masked[static_cast<std::size_t>(i)];
    k.lo = (k.lo << 8) | masked[static_cast<std::size_t>(i + 8)];
  }
  k.bits = bits;
  return k;
}

std::size_t HostAllowList::KeyHash::operator()(const Key& k) const noexcept {
  // splitmix64's finaliser over the key's words
  auto mix = [](std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  };
  return static_cast<std::size_t>(mix(k.hi ^ mix(k.lo ^ static_cast<std::uint64_t>(k.bits))));
}

void HostAllowList::index(const Prefix& p) {
  auto& family = p.v4 ? v4_ : v6_;
  family.keys.insert(key_of(p.bytes, p.bits));
  const auto at = std::lower_bound(family.lengths.begin(), family.lengths.end(), p.bits, std::greater<>());
  if (at == family.lengths.end() || *at != p.bits) family.lengths.insert(at, p.bits);
}

bool HostAllowList::allows(const asio::ip::address& peer) const {
  if (!restricts_) return true;
  const auto a = unmapped(peer);
  std::array<std::uint8_t, 16> bytes{};
  if (a.is_v4()) {
    const auto b = a.to_v4().to_bytes();
    std::copy(b.begin(), b.end(), bytes.begin());
  } else {
    bytes = a.to_v6().to_bytes();
  }
  const auto& family = a.is_v4() ? v4_ : v6_;
  for (const int bits : family.lengths) {
    auto masked = bytes;
    mask(masked, bits);
    if (family.keys.count(key_of(masked, bits))) return true;
  }
  return false;
}

std::vector<std::string> HostAllowList::entries() const {
  std::vector<std::string> out;
  for (const auto& p : prefixes_) {
    std::string address;
    if (p.v4) {
      asio::ip::address_v4::bytes_type b;
      std::copy(p.bytes.begin(), p.bytes.begin() + 4, b.begin());
      address = asio::ip::address_v4(b).to_string();
    } else {
      address = asio::ip::address_v6(p.bytes).to_string();
    }
    out.push_back(address + "/" + std::to_string(p.bits));
  }
  return out;
}

}  // namespace orvane
