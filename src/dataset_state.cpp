#include "dataset_state.h"

#include <string_view>

#include "util/log.h"

namespace quelvane {

namespace {

constexpr std::string_view kMagic = "DSSF";
constexpr const char* kFileName = "state";

// Offsets of the seven values, in file order.
constexpr std::uint64_t kVersionAt = 4;
constexpr std::uint64_t kWatermarkAt = 8;
constexpr std::uint64_t kMinAt = 16;
constexpr std::uint64_t kMaxAt = 24;
constexpr std::uint64_t kRecordsAt = 32;
constexpr std::uint64_t kDataSizeAt = 40;
constexpr std::uint64_t kUncompressedAt = 48;
constexpr std::uint64_t kInvalidAt = 56;

std::uint64_t add_saturating(std::uint64_t a, std::uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }
std::uint64_t sub_floor_zero(std::uint64_t a, std::uint64_t b) { return b > a ? 0 : a - b; }

}  // namespace

Result<DatasetStateFile> DatasetStateFile::open(const fs::Path& path) {
  {
    fs::FileDescriptor fd = QV_TRY(fs::open(path, fs::OpenMode::ReadWrite));
    if (QV_TRY(fs::length(fd)) != kFileSize) return fail(Error::invalid_data("invalid dataset state file size"));
  }
  MappedFile mapping = QV_TRY(MappedFile::open(path, MappedFile::Access::ReadWrite));
  // The length is checked again on what was mapped, in case the file changed in between.
  if (mapping.size() != kFileSize) return fail(Error::invalid_data("invalid dataset state file size"));
  auto image = mapping.bytes();
  if (std::string_view(reinterpret_cast<const char*>(image.data()), kMagic.size()) != kMagic)
    return fail(Error::invalid_magic());
  auto version = mapping.load<std::uint32_t>(kVersionAt);
  if (version != kVersion) return fail(Error::invalid_data(text::cat("unsupported dataset state version ", version)));
  Values v;
  v.watermark = mapping.load<std::uint64_t>(kWatermarkAt);
  v.min_timestamp = mapping.load<std::int64_t>(kMinAt);
  v.max_timestamp = mapping.load<std::int64_t>(kMaxAt);
  v.total_record_count = mapping.load<std::uint64_t>(kRecordsAt);
  v.total_data_size = mapping.load<std::uint64_t>(kDataSizeAt);
  v.total_uncompressed_size = mapping.load<std::uint64_t>(kUncompressedAt);
  v.total_invalid_record_count = mapping.load<std::uint64_t>(kInvalidAt);
  return DatasetStateFile(std::move(mapping), path, v, /*read_only=*/false);
}

Result<DatasetStateFile> DatasetStateFile::create(const fs::Path& path) {
  QV_TRY(fs::create_dir_all(path.parent_path()));
  const Values empty;
  MappedFile mapping = QV_TRY(MappedFile::create(path, kFileSize, [&](MappedFile& made) -> Status {
    if (made.size() != kFileSize)
      return fail(Error::io(text::cat("dataset state file ", path.string(), " has ", made.size(),
                                      " bytes after creation")));
    write_image(made, empty);
    return made.sync();
  }));
  return DatasetStateFile(std::move(mapping), path, empty, /*read_only=*/false);
}

Result<DatasetStateFile> DatasetStateFile::open_or_create(const fs::Path& dataset_dir) {
  fs::Path path = dataset_dir / kFileName;
  if (!QV_TRY(fs::exists(path))) return create(path);
  auto opened = open(path);
  if (opened) return opened;
  // An I/O failure says nothing about the content: keep the file and its totals.
  if (opened.error().kind() == ErrorKind::Io) return opened;
  // The content is not a state file (for instance an interrupted creation left it empty or
  // zero-filled): the totals are lost either way, and the next roll-over folds them again.
  QV_LOG(Warn, "quelvane::dataset_state", "[dataset-state] recreating invalid state file ", path.string(), ": ",
         opened.error().display());
  (void)fs::remove_file(path);
  return create(path);
}

Result<DatasetStateFile> DatasetStateFile::open_read_only(const fs::Path& dataset_dir) {
  fs::Path path = dataset_dir / kFileName;
  if (!QV_TRY(fs::exists(path))) return DatasetStateFile(MappedFile(), path, Values{}, /*read_only=*/true);
  DatasetStateFile state = QV_TRY(open(path));
  state.read_only_ = true;
  return state;
}

void DatasetStateFile::write_image(MappedFile& mapping, const Values& v) {
  mapping.write(0, bytes::as_bytes(kMagic));
  mapping.store<std::uint32_t>(kVersionAt, kVersion);
  mapping.store<std::uint64_t>(kWatermarkAt, v.watermark);
  mapping.store<std::int64_t>(kMinAt, v.min_timestamp);
  mapping.store<std::int64_t>(kMaxAt, v.max_timestamp);
  mapping.store<std::uint64_t>(kRecordsAt, v.total_record_count);
  mapping.store<std::uint64_t>(kDataSizeAt, v.total_data_size);
  mapping.store<std::uint64_t>(kUncompressedAt, v.total_uncompressed_size);
  mapping.store<std::uint64_t>(kInvalidAt, v.total_invalid_record_count);
}

Status DatasetStateFile::persist() {
  if (read_only_) return {};
  if (!mapping_.mapped()) return fail(Error::mmap("dataset state file is not mapped"));
  write_image(mapping_, values_);
  return mapping_.sync();
}

void DatasetStateFile::Values::fold_in(const SegmentStats& s) {
  total_record_count = add_saturating(total_record_count, s.record_count);
  total_data_size = add_saturating(total_data_size, s.data_size);
  total_uncompressed_size = add_saturating(total_uncompressed_size, s.uncompressed_size);
  total_invalid_record_count = add_saturating(total_invalid_record_count, s.invalid_record_count);
}

Status DatasetStateFile::on_append(std::uint64_t new_file_offset, std::span<const SegmentStats> segments) {
  // Only segments not yet folded count: anything below the watermark is already in the totals.
  bool folded = false;
  for (const SegmentStats& s : segments) {
    if (s.file_offset < values_.watermark || s.file_offset >= new_file_offset) continue;
    values_.fold_in(s);
    folded = true;
  }
  // Folding anything implies watermark < new_file_offset, so the watermark only ever rises.
  if (!folded && values_.watermark >= new_file_offset) return {};
  values_.watermark = new_file_offset;
  return persist();
}

Status DatasetStateFile::on_time_range(std::optional<std::pair<std::int64_t, std::int64_t>> range) {
  if (range) return set_time_range(range->first, range->second);
  return set_time_range(kNoMin, kNoMax);
}

Status DatasetStateFile::set_time_range(std::int64_t min, std::int64_t max) {
  if (min == values_.min_timestamp && max == values_.max_timestamp) return {};
  values_.min_timestamp = min;
  values_.max_timestamp = max;
  return persist();
}

Status DatasetStateFile::record_delete() {
  values_.total_invalid_record_count = add_saturating(values_.total_invalid_record_count, 1);
  return persist();
}

Status DatasetStateFile::subtract_reclaimed(const SegmentStats& reclaimed) {
  values_.total_record_count = sub_floor_zero(values_.total_record_count, reclaimed.record_count);
  values_.total_data_size = sub_floor_zero(values_.total_data_size, reclaimed.data_size);
  values_.total_uncompressed_size = sub_floor_zero(values_.total_uncompressed_size, reclaimed.uncompressed_size);
  values_.total_invalid_record_count =
      sub_floor_zero(values_.total_invalid_record_count, reclaimed.invalid_record_count);
  return persist();
}

Result<bool> DatasetStateFile::refold(std::span<const SegmentStats> segments) {
  Values v = values_;
  v.total_record_count = v.total_data_size = v.total_uncompressed_size = v.total_invalid_record_count = 0;
  for (const SegmentStats& s : segments) {
    if (s.file_offset >= values_.watermark) continue;
    v.fold_in(s);
  }
  if (v == values_) return false;
  values_ = v;
  QV_TRY(persist());
  return true;
}

Status DatasetStateFile::lower_watermark(std::uint64_t file_offset) {
  if (values_.watermark <= file_offset) return {};
  values_.watermark = file_offset;
  return persist();
}

}  // namespace quelvane
