// The journal's durable watermark: the last sequence a completed journal flush made durable,
// stamped with the boot that wrote it, in a small file beside the segments (<journal>/durable,
// which older readers never look at). An open that finds the stamp of another boot knows the
// machine went down since, so the unsynced pages of the segments may be any mix of old and new:
// what lies above the watermark is cut, never read. The same boot (only the process died, the
// page cache kept every store) or no stamp at all ("not known", a journal older than the file)
// keeps everything.
//
// The file holds two 64-byte slots written in turn, each checked by a CRC, so a write torn by
// the power going leaves the other slot: the newer whole slot holds.
#pragma once

#include <cstdint>
#include <optional>

#include "../error.h"
#include "../util/boot.h"
#include "../util/fs.h"

namespace quelvane::journal {

struct Watermark {
  std::int64_t sequence = 0;  // every record up to here is durable; 0: none
  util::BootId boot{};        // all zero: not known
  std::uint64_t counter = 0;  // the slot written last has the larger
};

fs::Path durable_path(const fs::Path& journal_dir);

// The newer whole slot; none when the file is missing or neither slot is whole.
Result<std::optional<Watermark>> read_watermark(const fs::Path& path);

class DurableWatermark {
 public:
  // Makes the file anew with one slot (sequence, the running boot), synchronised before it is
  // renamed into place and its directory after: it is never found empty.
  static Result<DurableWatermark> create(const fs::Path& path, std::int64_t sequence);
  // Continues a file read_watermark found whole.
  static Result<DurableWatermark> open(const fs::Path& path, const Watermark& found);

  // Writes sequence, stamped with the running boot, into the slot not written last and waits
  // for it to reach the disk (one fdatasync). Nothing is written for a sequence at or below
  // the one written last by this boot.
  Status advance(std::int64_t sequence);
  // Writes sequence, stamped with the running boot, whatever was written before: for the open
  // that cut the journal back or found it shorter.
  Status stamp(std::int64_t sequence);
  std::int64_t sequence() const { return sequence_; }

 private:
  DurableWatermark(fs::FileDescriptor fd, std::int64_t sequence, std::uint64_t counter, bool restamp)
      : fd_(std::move(fd)), sequence_(sequence), counter_(counter), restamp_(restamp) {}

  fs::FileDescriptor fd_;
  std::int64_t sequence_ = 0;
  std::uint64_t counter_ = 0;
  // The slot written last names another boot: the next advance writes even an equal sequence.
  bool restamp_ = false;
};

}  // namespace quelvane::journal
