// What every fuzz target shares. A target defines LLVMFuzzerTestOneInput, which feeds one input
// to one reader of bytes from disk, and fuzz_seeds, the valid inputs its mutations start from
// (made by the system's own writers, so that mutated inputs reach past the first checks).
//
// Built with g++ the target links the seeded mutation driver (driver.cpp); built with clang and
// QUELVANE_LIBFUZZER it links libFuzzer instead, which never calls fuzz_seeds.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "util/fs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace quelvane::fuzz {

using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> fuzz_seeds();

// A property of the reader failed: print it and abort, so that the driver or libFuzzer keeps
// the input.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}
inline void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

// A directory of this process for the files an input is written to, emptied before each input:
// in /dev/shm where it exists, since every input is written out once or more.
// Never destroyed, so that the exit handler removing it still finds it.
inline const fs::Path& scratch_dir() {
  static const fs::Path* dir = [] {
    const char* tmp = std::getenv("TMPDIR");
    fs::Path base = fs::path_exists("/dev/shm") ? fs::Path("/dev/shm") : fs::Path(tmp ? tmp : "/tmp");
    auto* d = new fs::Path(base / ("quelvane-fuzz-" + std::to_string(::getpid())));
    (void)fs::remove_tree(*d);
    if (!fs::create_dir_all(*d)) fail("cannot create the scratch directory");
    std::atexit([] { (void)fs::remove_tree(scratch_dir()); });
    return d;
  }();
  return *dir;
}

// An empty directory under the scratch directory, fresh for this input.
inline fs::Path fresh_dir(const std::string& name) {
  fs::Path d = scratch_dir() / name;
  (void)fs::remove_tree(d);
  if (!fs::create_dir_all(d)) fail("cannot create a scratch subdirectory");
  return d;
}

inline void put_file(const fs::Path& path, std::span<const std::uint8_t> bytes) {
  if (!fs::write_file(path, bytes)) fail("cannot write the input file");
}

inline Bytes file_bytes(const fs::Path& path) {
  auto r = fs::read_file(path);
  if (!r) fail("cannot read back a scratch file");
  return std::move(*r);
}

template <class T>
T unwrap(Result<T> r, const char* what) {
  if (!r) {
    std::fprintf(stderr, "%s: %s\n", what, r.error().display().c_str());
    std::abort();
  }
  return std::move(*r);
}
inline void unwrap(const Status& s, const char* what) {
  if (!s) {
    std::fprintf(stderr, "%s: %s\n", what, s.error().display().c_str());
    std::abort();
  }
}

}  // namespace quelvane::fuzz
