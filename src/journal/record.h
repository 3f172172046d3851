// What the journal stores for one change: a JournalEntry describes the change, and encode()
// turns it into the self-describing bytes that readers of the journal get back unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../dataset_key.h"
#include "../error.h"
#include "../index/entry.h"

namespace quelvane {

struct JournalAppendInfo {
  std::uint32_t previous_len = 0;  // the record's data length before the append
  std::uint32_t appended_len = 0;  // bytes appended

  bool operator==(const JournalAppendInfo&) const = default;
};

struct JournalEntry {
  enum class Kind : std::uint8_t {
    CreateDataset = 0x01,
    DropDataset = 0x02,
    Write = 0x11,
    Delete = 0x12,
    Append = 0x13,
  };

  Kind kind = Kind::Write;
  std::uint64_t identifier = 0;
  std::optional<std::string> name;                   // create and drop
  std::optional<std::string> dataset_type;           // create and drop
  std::optional<std::vector<std::uint8_t>> metadata;  // the meta file's payload; create and drop
  std::optional<IndexEntry> index_entry;              // write, delete and append
  std::optional<JournalAppendInfo> append_info;      // append

  static JournalEntry create_dataset(std::uint64_t identifier, const DataSetKey& key,
                                     std::vector<std::uint8_t> metadata);
  static JournalEntry drop_dataset(std::uint64_t identifier, const DataSetKey& key,
                                   std::vector<std::uint8_t> metadata);
  static JournalEntry write(std::uint64_t identifier, const IndexEntry& entry);
  static JournalEntry remove(std::uint64_t identifier, const IndexEntry& entry);
  static JournalEntry append(std::uint64_t identifier, const IndexEntry& entry, std::uint32_t previous_len,
                             std::uint32_t appended_len);
};

namespace journal::record {

inline constexpr std::uint8_t kTagName = 0x10;
inline constexpr std::uint8_t kTagDatasetType = 0x11;
inline constexpr std::uint8_t kTagMetadata = 0x12;
// The markers in front of the fixed fields of the record kinds (they share numbers with the
// dataset tags above, which never appear in the same record kind).
inline constexpr std::uint8_t kMarkIndexEntry = 0x10;
inline constexpr std::uint8_t kMarkAppendInfo = 0x11;

inline constexpr std::size_t kMaxNameLen = 255;
inline constexpr std::size_t kMaxFieldLen = 65535;

// The encoded record; on an error nothing is returned.
Result<std::vector<std::uint8_t>> encode(const JournalEntry& entry);
// The length encode() gives the entry, computed without encoding it: the room the journal makes
// for a change's record before the change.
std::size_t encoded_size(const JournalEntry& entry);
// Appends one tag, u16 length, value; a value above 65,535 bytes leaves out unchanged.
Status put_field(std::vector<std::uint8_t>& out, std::uint8_t tag, std::span<const std::uint8_t> value);
// What the store checks before it creates or drops a journalled dataset, so that the encoder
// can never refuse the record afterwards.
Status validate_dataset_fields(std::uint64_t identifier, const DataSetKey& key, std::uint64_t metadata_len);

}  // namespace journal::record

}  // namespace quelvane
