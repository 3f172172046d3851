// A fresh directory per test, removed with everything in it afterwards.
#pragma once

#include <string>

#include "util/fs.h"

namespace quelvane::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::Path& path() const { return path_; }
  fs::Path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::Path path_;
};

}  // namespace quelvane::testing
