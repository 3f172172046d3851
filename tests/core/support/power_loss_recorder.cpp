#include <cstdlib>
#include <stdexcept>

#include "support/msync_counter.h"
#include "support/power_loss.h"

namespace quelvane::testing {

PowerLossRecorder::PowerLossRecorder(const std::filesystem::path& root) : root_(root) {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quelvane-synced-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  images_ = tmpl;
  recording_ = std::make_unique<SyncRecording>(root_, images_);
  set_sync_recording(recording_.get());
}

PowerLossRecorder::~PowerLossRecorder() {
  set_sync_recording(nullptr);
  recording_.reset();
  std::error_code ec;
  std::filesystem::remove_all(images_, ec);
}

void PowerLossRecorder::build_disk(const std::filesystem::path& out, const PowerLoss& loss) const {
  testing::build_disk(root_, images_, out, loss);
}

}  // namespace quelvane::testing
