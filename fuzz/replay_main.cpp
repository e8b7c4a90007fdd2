// Without libFuzzer (g++ builds): replays every file of the given corpus
// folders, then runs inputs mutated from them at random: N of them, or as
// many as fit in a time budget. ORVANE_FUZZ_SECONDS in the environment
// overrides the budget given on the command line, so a longer run needs no
// rebuild.
//
//   <target>_replay [--random N] [--seconds S] [--seed S] CORPUS_DIR_OR_FILE...
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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

// The input being run, written out when it brings the program down (the
// sanitizers end with abort()), so the fault can be replayed from the file.
const std::string* g_current = nullptr;

extern "C" void dump_current_input(int sig) {
  if (g_current) {
    char name[64];
    std::snprintf(name, sizeof name, "fuzz-crash-%d.bin", static_cast<int>(::getpid()));
    const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      [[maybe_unused]] auto n = ::write(fd, g_current->data(), g_current->size());
      ::close(fd);
      static const char kSaid[] = "fuzz: the failing input is in the working directory as fuzz-crash-<pid>.bin\n";
      n = ::write(2, kSaid, sizeof kSaid - 1);
    }
  }
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void run(const std::string& input) {
  g_current = &input;
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

std::string mutate(std::string s, const std::vector<std::string>& corpus, std::mt19937& rng) {
  static const char kBytes[] = {'\x01', '\x02', '\x03', '\x04', '\x05', '"', ',', ' ', '\r', '\n', '\0',
                                '-',    '9',    '.',    '/',    '\f',   '=', '[', ']', '>',  '+'};
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
  double seconds = 0;
  unsigned seed = std::random_device{}();
  std::vector<std::string> corpus;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--random" && i + 1 < argc) {
      random_runs = std::atol(argv[++i]);
    } else if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
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
  if (const char* env = std::getenv("ORVANE_FUZZ_SECONDS"); env && *env && seconds > 0) seconds = std::atof(env);
  if (corpus.empty()) corpus.emplace_back();
  for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) ::signal(sig, dump_current_input);
  std::printf("seed %u (replay with --seed %u)\n", seed, seed);
  std::fflush(stdout);
  for (const auto& input : corpus) run(input);
  std::mt19937 rng(seed);
  const auto start = std::chrono::steady_clock::now();
  const auto deadline =
      start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
  long i = 0;
  std::string last;  // mutants are mutated further now and then, to get deeper
  for (;; ++i) {
    if (seconds > 0 ? (i % 16 == 0 && std::chrono::steady_clock::now() >= deadline) : i >= random_runs) break;
    if (rng() % 8 == 0) {
      std::string noise(rng() % 512, '\0');
      for (auto& c : noise) c = static_cast<char>(rng());
      run(noise);
    } else {
      const bool deeper = !last.empty() && last.size() < 65536 && rng() % 2 == 0;
      last = mutate(deeper ? last : corpus[rng() % corpus.size()], corpus, rng);
      run(last);
    }
  }
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s: %zu corpus inputs, %ld random inputs in %.1f s (%.0f/s), no fault\n",
              std::filesystem::path(argv[0]).filename().c_str(), corpus.size(), i, took, took > 0 ? i / took : 0.0);
  return 0;
}
