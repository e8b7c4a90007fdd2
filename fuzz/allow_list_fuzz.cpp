// Fuzz target: the [Connection] AllowHosts parser. Whatever the text, the
// parse never crashes, the entries it keeps read back to the same list, and
// the decision for a peer is the same from the text and from its canonical
// entries. The peers probed come from the input's last 16 bytes, as IPv4,
// IPv6 and IPv4-mapped addresses.
#include "fuzz_check.hpp"
#include "net/host_allow_list.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto list = orvane::HostAllowList::parse(text);

  std::string canonical;
  for (const auto& e : list.entries()) canonical += e + ", ";
  const auto again = orvane::HostAllowList::parse(canonical);
  FUZZ_CHECK(again.entries() == list.entries());
  FUZZ_CHECK(again.rejected().empty());

  asio::ip::address_v6::bytes_type six{};
  const auto tail = std::min<std::size_t>(size, 16);
  if (tail) std::memcpy(six.data(), data + size - tail, tail);
  asio::ip::address_v4::bytes_type four{six[12], six[13], six[14], six[15]};
  const asio::ip::address_v4 v4(four);
  const asio::ip::address peers[] = {v4, asio::ip::address_v6(six), asio::ip::make_address_v6(asio::ip::v4_mapped, v4)};
  for (const auto& peer : peers) {
    const bool allowed = list.allows(peer);
    // A list that named nothing valid but named something lets nobody in.
    if (list.restricts() && list.entries().empty()) FUZZ_CHECK(!allowed);
    if (!list.restricts()) FUZZ_CHECK(allowed);
    if (list.restricts() && !list.entries().empty()) FUZZ_CHECK(again.allows(peer) == allowed);
  }
  // A mapped peer is decided as its IPv4 form.
  FUZZ_CHECK(list.allows(peers[0]) == list.allows(peers[2]));
  return 0;
}
