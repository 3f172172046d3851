// The seeded mutation driver: what runs a fuzz target where libFuzzer is missing (g++ builds,
// CI). It replays the inputs named on the command line (kept findings), then every seed, then
// mutates inputs drawn from that corpus for --runs inputs or --seconds, whichever ends first.
// A run is reproducible from its seed; when an input crashes the target, the input is written
// to crash-<target>-<seed>-<run> and the seed and run number are printed.
//
//   fuzz_<target> [--runs N] [--seconds S] [--seed X] [--max-len L] [--write-seeds DIR] [input...]
//   (an input that is a directory stands for every file in it)
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fuzz.h"

// Present only in a sanitizer build: a report ends the process without passing through abort.
extern "C" __attribute__((weak)) void __sanitizer_set_death_callback(void (*callback)(void));

namespace {

using quelvane::fuzz::Bytes;

struct Current {
  std::string target;
  std::uint64_t seed = 0;
  std::uint64_t run = 0;
  const Bytes* input = nullptr;
};
Current current;

void save_current() {
  if (current.input == nullptr) return;
  std::string name = "crash-" + current.target + "-" + std::to_string(current.seed) + "-" + std::to_string(current.run);
  std::ofstream out(name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(current.input->data()), static_cast<std::streamsize>(current.input->size()));
  std::fprintf(stderr, "\n%s: input of %zu bytes kept as %s (seed %llu, run %llu)\n", current.target.c_str(),
               current.input->size(), name.c_str(), static_cast<unsigned long long>(current.seed),
               static_cast<unsigned long long>(current.run));
}

extern "C" void on_abort(int) {
  save_current();
  std::signal(SIGABRT, SIG_DFL);
  std::abort();
}

void run_one(const Bytes& input) {
  current.input = &input;
  // A copy of exactly the input's size, so that AddressSanitizer sees a read past its end
  // (a vector's spare capacity would hide it).
  std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[input.size()]);
  std::copy(input.begin(), input.end(), exact.get());
  LLVMFuzzerTestOneInput(exact.get(), input.size());
  current.input = nullptr;
}

Bytes read_all(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Values that sit on the edges readers check: zero, one, the sign bits, all ones, and sizes
// around the headers and blocks this system writes.
constexpr std::uint64_t kInteresting[] = {0,    1,      2,      12,          16,          52,          108,
                                          124,  128,    4095,   4096,        65524,       65536,       0x7f,
                                          0x80, 0xff,   0x7fff, 0x8000,      0xffff,      0x7fffffff,  0x80000000,
                                          0xffffffff,   0x7fffffffffffffff,  0x8000000000000000,  ~0ull};

class Mutator {
 public:
  Mutator(std::uint64_t seed, std::size_t max_len) : rng_(seed), max_len_(max_len) {}

  Bytes mutate(Bytes b) {
    int steps = 1 + static_cast<int>(below(4));
    for (int i = 0; i < steps; ++i) step(b);
    if (b.size() > max_len_) b.resize(max_len_);
    return b;
  }

  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : rng_() % n; }

 private:
  void step(Bytes& b) {
    switch (below(9)) {
      case 0:  // flip one bit
        if (!b.empty()) b[below(b.size())] ^= static_cast<std::uint8_t>(1u << below(8));
        break;
      case 1:  // one random byte
        if (!b.empty()) b[below(b.size())] = static_cast<std::uint8_t>(rng_());
        break;
      case 2:
      case 3: {  // an interesting value as a little-endian field of 1, 2, 4 or 8 bytes
        std::size_t width = std::size_t{1} << below(4);
        if (b.size() < width) break;
        std::uint64_t v = kInteresting[below(std::size(kInteresting))];
        if (below(4) == 0) v += below(3) - 1;
        std::size_t at = below(b.size() - width + 1);
        for (std::size_t k = 0; k < width; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
        break;
      }
      case 4:  // truncate
        if (!b.empty()) b.resize(below(b.size()));
        break;
      case 5: {  // extend with zeros or noise
        std::size_t n = 1 + below(256);
        bool zeros = below(2) == 0;
        for (std::size_t k = 0; k < n; ++k) b.push_back(zeros ? 0 : static_cast<std::uint8_t>(rng_()));
        break;
      }
      case 6: {  // zero-fill a run, as an interrupted write leaves it
        if (b.empty()) break;
        std::size_t at = below(b.size());
        std::size_t n = std::min<std::size_t>(b.size() - at, 1 + below(512));
        std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(at), n, 0);
        break;
      }
      case 7: {  // copy a run elsewhere inside the input
        if (b.size() < 2) break;
        std::size_t from = below(b.size()), to = below(b.size());
        std::size_t n = std::min({b.size() - from, b.size() - to, static_cast<std::size_t>(1 + below(64))});
        std::memmove(b.data() + to, b.data() + from, n);
        break;
      }
      default: {  // insert or erase a few bytes
        if (b.empty() || below(2) == 0) {
          std::size_t at = below(b.size() + 1), n = 1 + below(16);
          b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), n, static_cast<std::uint8_t>(rng_()));
        } else {
          std::size_t at = below(b.size());
          std::size_t n = std::min<std::size_t>(b.size() - at, 1 + below(16));
          b.erase(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + n));
        }
      }
    }
  }

  std::mt19937_64 rng_;
  std::size_t max_len_;
};

int usage(const char* argv0) {
  std::fprintf(stderr, "usage: %s [--runs N] [--seconds S] [--seed X] [--max-len L] [--write-seeds DIR] [input...]\n",
               argv0);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t runs = 1000, seed = 1;
  double seconds = 0;
  std::size_t max_len = 1 << 17;
  std::string seeds_out;
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) std::exit(usage(argv[0]));
      return argv[++i];
    };
    if (a == "--runs") runs = std::stoull(value());
    else if (a == "--seconds") seconds = std::stod(value());
    else if (a == "--seed") seed = std::stoull(value());
    else if (a == "--max-len") max_len = std::stoull(value());
    else if (a == "--write-seeds") seeds_out = value();
    else if (a.starts_with("--")) return usage(argv[0]);
    else inputs.emplace_back(a);
  }
  current.target = std::filesystem::path(argv[0]).filename().string();
  current.seed = seed;

  std::vector<Bytes> seeds = quelvane::fuzz::fuzz_seeds();
  if (!seeds_out.empty()) {
    std::filesystem::create_directories(seeds_out);
    for (std::size_t k = 0; k < seeds.size(); ++k) {
      std::ofstream out(std::filesystem::path(seeds_out) / ("seed-" + std::to_string(k)), std::ios::binary);
      out.write(reinterpret_cast<const char*>(seeds[k].data()), static_cast<std::streamsize>(seeds[k].size()));
    }
    std::printf("%s: %zu seeds written to %s\n", current.target.c_str(), seeds.size(), seeds_out.c_str());
    return 0;
  }

  if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(save_current);
  std::signal(SIGABRT, on_abort);

  std::vector<Bytes> corpus;
  std::uint64_t replayed = 0;
  for (const auto& p : inputs) {
    std::vector<std::filesystem::path> files;
    if (!std::filesystem::exists(p)) continue;  // a target without kept findings yet
    if (std::filesystem::is_directory(p)) {
      for (const auto& e : std::filesystem::directory_iterator(p))
        if (e.is_regular_file()) files.push_back(e.path());
      std::sort(files.begin(), files.end());
    } else {
      files.push_back(p);
    }
    for (const auto& f : files) {
      Bytes b = read_all(f);
      run_one(b);
      ++replayed;
      corpus.push_back(std::move(b));
    }
  }
  for (const auto& s : seeds) run_one(s);
  corpus.insert(corpus.end(), seeds.begin(), seeds.end());
  if (corpus.empty()) corpus.emplace_back();

  Mutator mutator(seed, max_len);
  auto start = std::chrono::steady_clock::now();
  std::uint64_t done = 0;
  for (; done < runs; ++done) {
    if (seconds > 0 && (done & 63) == 0 &&
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= seconds)
      break;
    current.run = done;
    Bytes input = mutator.mutate(corpus[mutator.below(corpus.size())]);
    run_one(input);
    // Without coverage to steer by, keep a few mutants so that mutations can compound.
    if (corpus.size() < 512 && mutator.below(8) == 0) corpus.push_back(std::move(input));
  }
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s: %llu inputs replayed, %zu seeds, %llu mutated inputs in %.1f s (seed %llu)\n",
              current.target.c_str(), static_cast<unsigned long long>(replayed), seeds.size(),
              static_cast<unsigned long long>(done), took, static_cast<unsigned long long>(seed));
  return 0;
}
