// orvane-host: frames command lines into one message, sends it to a station
// and prints the replies readably until every expected reply has ended (for
// BEGIN_REALTIME: until the end acknowledgement).
#include <CLI/CLI.hpp>
#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::array<std::pair<const char*, char>, 5> kNames = {
    {{"<SOH>", '\x01'}, {"<STX>", '\x02'}, {"<ETX>", '\x03'}, {"<EOT>", '\x04'}, {"<ENQ>", '\x05'}}};

// "<ENQ>" and friends in a command line become their bytes.
std::string unescape(std::string text) {
  for (const auto& [name, byte] : kNames) {
    for (std::size_t p; (p = text.find(name)) != std::string::npos;) text.replace(p, 5, 1, byte);
  }
  return text;
}

std::string readable(std::string_view bytes, bool strip) {
  std::string out;
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 1 && u <= 5) {
      if (!strip) out += kNames[u - 1].first;
      if (c == '\x03' || c == '\x04' || (strip && c == '\x05')) out += '\n';
    } else if (c == '\r') {
      if (!strip) out += "<CR>";
    } else if (c == '\n') {
      out += strip ? "\n" : "<LF>\n";
    } else if (u < 32) {
      if (!strip) out += "<" + std::to_string(u) + ">";
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 5000;
  std::string header;
  std::vector<std::string> lines;
  bool strip = false;
  int expect = -1;
  double timeout_s = 5;
  CLI::App app{
      "Sends command lines to an Orvane station as one framed message and prints the replies. "
      "Control bytes are shown as <SOH> <STX> <ETX> <EOT> <ENQ>; write <ENQ> in a line to send byte 5.",
      "orvane-host"};
  app.add_option("--host", host, "Station address")->capture_default_str();
  app.add_option("-p,--port", port, "Station ClientPort")->capture_default_str();
  app.add_option("--header", header, "Message header (echoed in replies)");
  app.add_option("lines", lines, "Command lines, e.g. \"READ_DATA 200612071200 F1 S1\"")->required();
  app.add_flag("-s,--strip", strip, "Strip the control bytes (ETX, EOT and ENQ become line ends)");
  app.add_option("--expect", expect, "Replies to wait for (default: counted from the command words)");
  app.add_option("-t,--timeout", timeout_s, "Seconds without a byte from the station before giving up")
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  // Each line that replies ends its reply with EOT; SET_CONFIG, SET_ID and
  // DELETE_ID share one ACK. A realtime subscription ends with its own EOT.
  int expected = 0;
  bool acked = false;
  double idle_s = timeout_s;
  for (const auto& line : lines) {
    const auto w = words(line);
    if (w.empty()) continue;
    if (w[0] == "SET_CONFIG" || w[0] == "SET_ID" || w[0] == "DELETE_ID") {
      acked = true;
    } else if (w[0] == "READ_CONFIG" || w[0] == "READ_DATA" || w[0] == "READ_HISTORY" || w[0] == "DO_COMMAND" ||
               w[0] == "SET_VALUE" || w[0] == "BEGIN_REALTIME" || w[0] == "END_REALTIME") {
      ++expected;
      if (w[0] == "BEGIN_REALTIME" && w.size() > 4) idle_s = std::max(idle_s, std::atof(w[4].c_str()) + timeout_s);
    }
  }
  if (acked) ++expected;
  if (expect >= 0) expected = expect;

  std::string message = "\x01" + unescape(header);
  for (const auto& line : lines) message += "\x02" + unescape(line) + "\x03";
  message += "\x04";

  try {
    asio::io_context ioc;
    asio::ip::tcp::socket socket(ioc);
    asio::ip::tcp::resolver resolver(ioc);
    asio::connect(socket, resolver.resolve(host, std::to_string(port)));
    socket.set_option(asio::ip::tcp::no_delay(true));
    asio::write(socket, asio::buffer(message));

    int eots = 0;
    bool timed_out = false;
    std::array<char, 65536> buf{};
    asio::steady_timer timer(ioc);
    // With nothing to wait for, a short grace period shows anything unexpected.
    const auto idle = std::chrono::milliseconds(static_cast<long>((expected == 0 ? 0.2 : idle_s) * 1000));
    std::function<void()> read = [&] {
      timer.expires_after(idle);
      timer.async_wait([&](std::error_code ec) {
        if (ec) return;
        timed_out = true;
        socket.close();
      });
      socket.async_read_some(asio::buffer(buf), [&](std::error_code ec, std::size_t n) {
        timer.cancel();
        if (ec) return;
        const std::string_view got(buf.data(), n);
        std::cout << readable(got, strip) << std::flush;
        eots += static_cast<int>(std::count(got.begin(), got.end(), '\x04'));
        if (eots < expected || expected == 0) read();
      });
    };
    read();
    ioc.run();
    if (timed_out && eots < expected) {
      std::cerr << "orvane-host: " << eots << " of " << expected << " replies before the timeout\n";
      return 1;
    }
    if (eots < expected) {
      std::cerr << "orvane-host: the station closed the connection after " << eots << " of " << expected
                << " replies\n";
      return 1;
    }
  } catch (const std::exception& e) {
    std::cerr << "orvane-host: " << e.what() << "\n";
    return 2;
  }
  return 0;
}
