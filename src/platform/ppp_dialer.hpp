// The dial-up link on Linux: pppd. The phonebook is the peers folder
// (/etc/ppp/peers by default: each file is an entry); dialling runs
// `pppd call <entry> nodetach ifname <ifname> user <user> password <password>`
// and, when a chat script is configured, a connect command that dials the
// number through it (`chat -f <script> -T <number>`). The link is connected
// while the ppp interface is up; a pppd that ended by itself stays listed as
// disconnected until it is hung up. Hang-up ends only the pppd processes this
// station started.
#pragma once
#include "platform/dialer.hpp"

#include <sys/types.h>
#include <chrono>
#include <filesystem>
#include <mutex>

namespace orvane {

struct PppdOptions {
  std::filesystem::path peers_dir = "/etc/ppp/peers";  // phonebook: one file per entry
  std::string pppd = "pppd";  // the program run
  std::filesystem::path chat_script;  // empty: the peer file dials by itself
  std::string chat = "/usr/sbin/chat";
  std::string ifname = "ppp-vrn";  // interface of the link
  std::chrono::seconds dial_timeout{90};  // until the interface is up
};

class PppdDialer final : public Dialer {
 public:
  explicit PppdDialer(PppdOptions options = {});
  ~PppdDialer() override;

  std::vector<std::string> phonebook_entries() override;
  int dial(const std::string& entry, const std::string& number, const std::string& user,
           const std::string& password) override;
  std::vector<DialConnection> connections() override;
  void hang_up(int handle) override;

  // pppd's exit status in words (its manual's table).
  static std::string exit_text(int status);

 private:
  bool interface_up() const;
  void reap_locked();

  PppdOptions options_;
  std::mutex mutex_;
  pid_t pid_ = -1;  // the running pppd, or the ended one not yet hung up
  bool exited_ = false;
  int exit_status_ = 0;
  std::string entry_;
};

}  // namespace orvane
