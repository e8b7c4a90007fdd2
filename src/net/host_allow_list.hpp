// Which hosts may talk to the command server: [Connection] AllowHosts, a
// comma-separated list of IPv4/IPv6 addresses and CIDR prefixes
// ("10.1.0.0/16, 192.168.5.7, ::1"). An empty list lets every host in.
#pragma once
#include <asio/ip/address.hpp>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace orvane {

class HostAllowList {
 public:
  // Parses the setting's text. Entries are separated by commas and/or
  // blanks. An entry that is neither an address nor a prefix is skipped and
  // reported in `rejected()`; a list whose every entry was rejected still
  // restricts (it lets nobody in) rather than falling open.
  static HostAllowList parse(std::string_view text);

  // True when the setting named at least one entry (valid or not).
  bool restricts() const { return restricts_; }
  // Whether a peer may connect. An IPv4-mapped IPv6 peer (::ffff:a.b.c.d)
  // is matched by its IPv4 form, and an IPv4-mapped entry matches IPv4 peers.
  bool allows(const asio::ip::address& peer) const;

  const std::vector<std::string>& rejected() const { return rejected_; }
  // Whether any entry was accepted.
  bool any_accepted() const { return !prefixes_.empty(); }
  // The accepted entries in canonical form ("10.1.0.0/16", "::1/128").
  std::vector<std::string> entries() const;

 private:
  struct Prefix {
    bool v4 = false;
    std::array<std::uint8_t, 16> bytes{};  // IPv4 in the first four
    int bits = 0;  // prefix length
  };
  static bool parse_entry(std::string_view text, Prefix& out);
  void index(const Prefix& p);

  // The lookup: for each family, the prefix lengths the list uses (longest
  // first) and a hash set of its masked prefixes, so a peer costs at most
  // one probe per length (33 for IPv4, 129 for IPv6) however long the list.
  struct Key {
    std::uint64_t hi = 0, lo = 0;
    int bits = 0;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const noexcept;
  };
  static Key key_of(const std::array<std::uint8_t, 16>& masked, int bits);
  struct Family {
    std::vector<int> lengths;
    std::unordered_set<Key, KeyHash> keys;
  };

  bool restricts_ = false;
  std::vector<Prefix> prefixes_;
  Family v4_, v6_;
  std::vector<std::string> rejected_;
};

// The peer's address as the station writes it: IPv4-mapped IPv6 addresses
// in their dotted IPv4 form.
std::string host_address_text(const asio::ip::address& address);

}  // namespace orvane
