// A fresh directory per test, removed with everything in it afterwards.
#pragma once

#include <string>

#include "util/fs.h"

namespace quelvane::testing {

class TempDir {
 public:
  TempDir();
  // Under parent instead, when a directory can be made there: a memory file system, say, for
  // a test that makes files by the thousand and would otherwise wait on the disk's syncs.
  explicit TempDir(const std::string& parent);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::Path& path() const { return path_; }
  fs::Path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::Path path_;
};

}  // namespace quelvane::testing
