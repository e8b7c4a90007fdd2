// A Prometheus text page read as a scraper would, for the endpoint's tests.
#pragma once
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

namespace orvane::test {

// Samples of a Prometheus text page by "name{labels}", checked as they are
// read: every sample's family has its HELP and TYPE first, names and label
// sets are well formed, values are numbers. Throws with the faulty line.
inline std::map<std::string, double> parse_metrics(const std::string& text) {
  static const std::regex kSample(R"(^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="[^"\\]*",?)*\})? (\S+)$)");
  std::set<std::string> helped, typed;
  std::map<std::string, double> samples;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (line.starts_with("# HELP ")) {
      helped.insert(line.substr(7, line.find(' ', 7) - 7));
    } else if (line.starts_with("# TYPE ")) {
      typed.insert(line.substr(7, line.find(' ', 7) - 7));
    } else if (std::regex_match(line, m, kSample)) {
      std::string family = m[1];
      for (const char* suffix : {"_bucket", "_sum", "_count"})
        if (!typed.count(family) && family.ends_with(suffix)) family.resize(family.size() - std::strlen(suffix));
      if (!helped.count(family) || !typed.count(family)) throw std::runtime_error("no HELP/TYPE before: " + line);
      samples[m[1].str() + m[2].str()] = std::stod(m[4]);
    } else {
      throw std::runtime_error("not exposition format: " + line);
    }
  }
  return samples;
}

}  // namespace orvane::test
