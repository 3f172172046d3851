// What the last completed flush of a dataset made durable, kept in the newest index segment's
// header area (bytes 60-127, which files of every earlier version leave zero). The flush syncs
// the data segments, writes the mark, then syncs the index, so the entries the mark counts name
// records that were on the disk first. The mark is stamped with the writer's boot: an open in
// another boot knows the page cache went with the machine, and that anything written after the
// mark may have reached the disk torn, or only in part.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "error.h"
#include "util/boot.h"

namespace quelvane {

// The end of the dataset's data as a flush left it: the latest data segment, the bytes of
// blocks it held and its records (none before the first segment exists). A cut goes by the
// records: a seal after the flush shrinks the bytes below the mark's, and what follows it then
// straddles a byte position that no longer ends a block.
struct DataMark {
  bool has_data = false;
  std::uint64_t file_offset = 0;
  std::uint64_t used = 0;
  std::uint64_t records = 0;

  bool operator==(const DataMark&) const = default;
};

// Hands the index a data mark after making the dataset's data durable, so that no index entry
// reaches the disk before the record it names.
class DataSync {
 public:
  virtual ~DataSync() = default;
  virtual Result<DataMark> sync_data() = 0;
  // The mark of the last sync_data() in this process, none before the first: what a new index
  // segment may name without a sync of its own.
  virtual std::optional<DataMark> durable_mark() const = 0;
};

struct Watermark {
  util::BootId boot{};
  DataMark data;
  // Entries of the segment holding the mark that the flush covered.
  std::uint64_t entries = 0;

  bool operator==(const Watermark&) const = default;

  static constexpr std::uint64_t kAt = 60;
  static constexpr std::uint64_t kEnd = 128;
  // The mark in a header area; none when it is zero (an older writer's file) or does not check.
  static std::optional<Watermark> read(std::span<const std::uint8_t> header);
  // Writes it into header (at least kEnd bytes).
  void write(std::span<std::uint8_t> header) const;
};

}  // namespace quelvane
