#include "support/temp_dir.h"

#include <cstdlib>
#include <string>

#include "error.h"

namespace quelvane::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quelvane-test-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) internal_failure("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() { (void)fs::remove_tree(path_); }

}  // namespace quelvane::testing
