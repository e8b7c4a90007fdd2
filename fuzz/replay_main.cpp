// Without libFuzzer (g++ builds): replays every file of the given corpus
// folders, then runs a number of inputs mutated from them at random.
//
//   command_fuzz_replay [--random N] [--seed S] CORPUS_DIR_OR_FILE...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void run(const std::string& input) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

std::string mutate(std::string s, const std::vector<std::string>& corpus, std::mt19937& rng) {
  static const char kBytes[] = {'\x01', '\x02', '\x03', '\x04', '\x05', '"', ',', ' ', '\r', '\n', '\0', '-', '9', '.', '/'};
  const int edits = 1 + static_cast<int>(rng() % 6);
  for (int e = 0; e < edits; ++e) {
    const auto pos = s.empty() ? 0 : rng() % (s.size() + 1);
    switch (rng() % 5) {
      case 0:  // flip a byte
        if (!s.empty()) s[pos % s.size()] = static_cast<char>(rng());
        break;
      case 1:  // insert a byte the protocol cares about
        s.insert(pos, 1, kBytes[rng() % sizeof kBytes]);
        break;
      case 2:  // cut a piece out
        if (!s.empty()) s.erase(pos % s.size(), 1 + rng() % 16);
        break;
      case 3: {  // splice in a piece of another input
        const auto& other = corpus[rng() % corpus.size()];
        if (!other.empty()) {
          const auto from = rng() % other.size();
          s.insert(pos, other.substr(from, 1 + rng() % 64));
        }
        break;
      }
      default:  // repeat a piece
        if (!s.empty()) {
          const auto from = pos % s.size();
          const auto piece = s.substr(from, 1 + rng() % 32);
          for (int k = static_cast<int>(rng() % 8); k > 0; --k) s.insert(from, piece);
        }
    }
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  long random_runs = 0;
  unsigned seed = 1;
  std::vector<std::string> corpus;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--random" && i + 1 < argc) {
      random_runs = std::atol(argv[++i]);
    } else if (a == "--seed" && i + 1 < argc) {
      seed = static_cast<unsigned>(std::atol(argv[++i]));
    } else if (std::filesystem::is_directory(a)) {
      std::vector<std::filesystem::path> files;
      for (const auto& f : std::filesystem::directory_iterator(a)) files.push_back(f.path());
      std::sort(files.begin(), files.end());
      for (const auto& f : files) corpus.push_back(read_file(f));
    } else {
      corpus.push_back(read_file(a));
    }
  }
  if (corpus.empty()) corpus.emplace_back();
  for (const auto& input : corpus) run(input);
  std::mt19937 rng(seed);
  for (long i = 0; i < random_runs; ++i) {
    if (rng() % 8 == 0) {
      std::string noise(rng() % 512, '\0');
      for (auto& c : noise) c = static_cast<char>(rng());
      run(noise);
    } else {
      run(mutate(corpus[rng() % corpus.size()], corpus, rng));
    }
  }
  std::printf("command_fuzz_replay: %zu corpus inputs, %ld random inputs, no fault\n", corpus.size(), random_runs);
  return 0;
}
