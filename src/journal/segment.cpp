// Placeholder while the segment is being written: every operation refuses.
#include "segment.h"

namespace quelvane {

namespace {
std::unexpected<Error> unfinished() { return fail(Error::io("journal segment files are not available yet")); }
}  // namespace

JournalSegment::JournalSegment(fs::Path path, MappedFile file, bool read_only)
    : path_(std::move(path)), file_(std::move(file)), read_only_(read_only) {}

Result<JournalSegment> JournalSegment::create(const fs::Path&, std::int64_t, std::uint64_t, std::uint64_t,
                                              std::uint8_t, std::uint8_t) {
  return unfinished();
}
Result<JournalSegment> JournalSegment::open(const fs::Path&, std::int64_t, std::uint64_t) { return unfinished(); }
Result<JournalSegment> JournalSegment::open_read_only(const fs::Path&, std::int64_t, std::uint64_t) {
  return unfinished();
}
Result<bool> JournalSegment::check_header(const fs::Path&, std::int64_t) { return unfinished(); }
Status JournalSegment::append(std::int64_t, std::span<const std::uint8_t>) { return unfinished(); }
Result<std::optional<std::vector<std::uint8_t>>> JournalSegment::read(std::int64_t) { return unfinished(); }
Status JournalSegment::visit(std::int64_t, std::int64_t, const Visitor&) { return unfinished(); }
Status JournalSegment::flush() { return {}; }

}  // namespace quelvane
