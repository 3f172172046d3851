#include "support/temp_dir.h"

#include <cstdlib>
#include <string>

#include "error.h"

namespace quelvane::testing {

namespace {

std::string default_parent() {
  const char* base = std::getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}

// A fresh directory under parent; empty when none can be made there.
std::string made_under(const std::string& parent) {
  std::string tmpl = parent + "/quelvane-test-XXXXXX";
  return ::mkdtemp(tmpl.data()) == nullptr ? std::string() : tmpl;
}

}  // namespace

TempDir::TempDir() : TempDir(default_parent()) {}

TempDir::TempDir(const std::string& parent) {
  std::string made = made_under(parent);
  if (made.empty()) made = made_under(default_parent());
  if (made.empty()) internal_failure("mkdtemp failed");
  path_ = made;
}

TempDir::~TempDir() { (void)fs::remove_tree(path_); }

}  // namespace quelvane::testing
