#include "record.h"

#include <span>

#include "../util/bytes.h"
#include "../util/text.h"

namespace quelvane {

namespace {

std::unexpected<Error> too_long(std::string_view label, std::size_t limit) {
  return fail(Error::invalid_data(text::cat(label, " must be at most ", limit, " bytes")));
}

template <class T>
void put_le(std::vector<std::uint8_t>& out, T v) {
  const std::size_t at = out.size();
  out.resize(at + sizeof(T));
  bytes::store_le<T>(out.data() + at, v);
}

std::size_t identifier_size(std::uint64_t id) {
  if (id <= 0xFF) return 1 + 1;
  if (id <= 0xFFFF) return 1 + 2;
  if (id <= 0xFFFF'FFFFull) return 1 + 4;
  return 1 + 8;
}

void put_identifier(std::vector<std::uint8_t>& out, std::uint64_t id) {
  if (id <= 0xFF) {
    out.push_back(1);
    out.push_back(static_cast<std::uint8_t>(id));
  } else if (id <= 0xFFFF) {
    out.push_back(2);
    put_le<std::uint16_t>(out, static_cast<std::uint16_t>(id));
  } else if (id <= 0xFFFF'FFFFull) {
    out.push_back(3);  // code 3 is four bytes
    put_le<std::uint32_t>(out, static_cast<std::uint32_t>(id));
  } else {
    out.push_back(4);  // code 4 is eight bytes
    put_le<std::uint64_t>(out, id);
  }
}

JournalEntry dataset_entry(JournalEntry::Kind kind, std::uint64_t identifier, const DataSetKey& key,
                           std::vector<std::uint8_t> metadata) {
  JournalEntry e;
  e.kind = kind;
  e.identifier = identifier;
  e.name = key.name;
  e.dataset_type = key.dataset_type;
  e.metadata = std::move(metadata);
  return e;
}

JournalEntry record_entry(JournalEntry::Kind kind, std::uint64_t identifier, const IndexEntry& entry) {
  JournalEntry e;
  e.kind = kind;
  e.identifier = identifier;
  e.index_entry = entry;
  return e;
}

}  // namespace

JournalEntry JournalEntry::create_dataset(std::uint64_t identifier, const DataSetKey& key,
                                          std::vector<std::uint8_t> metadata) {
  return dataset_entry(Kind::CreateDataset, identifier, key, std::move(metadata));
}

JournalEntry JournalEntry::drop_dataset(std::uint64_t identifier, const DataSetKey& key,
                                        std::vector<std::uint8_t> metadata) {
  return dataset_entry(Kind::DropDataset, identifier, key, std::move(metadata));
}

JournalEntry JournalEntry::write(std::uint64_t identifier, const IndexEntry& entry) {
  return record_entry(Kind::Write, identifier, entry);
}

JournalEntry JournalEntry::remove(std::uint64_t identifier, const IndexEntry& entry) {
  return record_entry(Kind::Delete, identifier, entry);
}

JournalEntry JournalEntry::append(std::uint64_t identifier, const IndexEntry& entry, std::uint32_t previous_len,
                                  std::uint32_t appended_len) {
  JournalEntry e = record_entry(Kind::Append, identifier, entry);
  e.append_info = JournalAppendInfo{previous_len, appended_len};
  return e;
}

namespace journal::record {

Status put_field(std::vector<std::uint8_t>& out, std::uint8_t tag, std::span<const std::uint8_t> value) {
  if (value.size() > kMaxFieldLen) return too_long("journal field value", kMaxFieldLen);
  out.push_back(tag);
  put_le<std::uint16_t>(out, static_cast<std::uint16_t>(value.size()));
  out.insert(out.end(), value.begin(), value.end());
  return {};
}

Result<std::vector<std::uint8_t>> encode(const JournalEntry& entry) {
  std::vector<std::uint8_t> out;
  out.reserve(40);
  out.push_back(static_cast<std::uint8_t>(entry.kind));
  if (entry.identifier == 0) return fail(Error::invalid_data("journal dataset identifier must be > 0"));
  put_identifier(out, entry.identifier);

  switch (entry.kind) {
    case JournalEntry::Kind::Write:
    case JournalEntry::Kind::Delete:
    case JournalEntry::Kind::Append: {
      if (!entry.index_entry) return fail(Error::invalid_data("journal index_info is missing"));
      out.push_back(kMarkIndexEntry);
      put_le<std::int64_t>(out, entry.index_entry->timestamp);
      put_le<std::uint64_t>(out, entry.index_entry->block_offset);
      put_le<std::uint16_t>(out, entry.index_entry->in_block);
      if (entry.kind == JournalEntry::Kind::Append) {
        if (!entry.append_info) return fail(Error::invalid_data("journal append_info is missing"));
        out.push_back(kMarkAppendInfo);
        put_le<std::uint32_t>(out, entry.append_info->previous_len);
        put_le<std::uint32_t>(out, entry.append_info->appended_len);
      }
      return out;
    }
    case JournalEntry::Kind::CreateDataset:
    case JournalEntry::Kind::DropDataset: {
      if (!entry.name) return fail(Error::invalid_data("journal name is missing"));
      if (!entry.dataset_type) return fail(Error::invalid_data("journal dataset type is missing"));
      if (entry.name->size() > kMaxNameLen) return too_long("journal name", kMaxNameLen);
      if (entry.dataset_type->size() > kMaxNameLen) return too_long("journal dataset type", kMaxNameLen);
      if (!entry.metadata) return fail(Error::invalid_data("journal metadata is missing"));
      QV_TRY(put_field(out, kTagName, bytes::as_bytes(*entry.name)));
      QV_TRY(put_field(out, kTagDatasetType, bytes::as_bytes(*entry.dataset_type)));
      QV_TRY(put_field(out, kTagMetadata, *entry.metadata));
      return out;
    }
  }
  internal_failure("journal entry of an unknown kind");
}

std::size_t encoded_size(const JournalEntry& entry) {
  constexpr std::size_t kField = 3;  // tag and u16 length
  std::size_t n = 1 + identifier_size(entry.identifier);
  switch (entry.kind) {
    case JournalEntry::Kind::Write:
    case JournalEntry::Kind::Delete:
      return n + 1 + 8 + 8 + 2;
    case JournalEntry::Kind::Append:
      return n + 1 + 8 + 8 + 2 + 1 + 4 + 4;
    case JournalEntry::Kind::CreateDataset:
    case JournalEntry::Kind::DropDataset:
      n += kField + (entry.name ? entry.name->size() : 0);
      n += kField + (entry.dataset_type ? entry.dataset_type->size() : 0);
      return n + kField + (entry.metadata ? entry.metadata->size() : 0);
  }
  internal_failure("journal entry of an unknown kind");
}

Status validate_dataset_fields(std::uint64_t identifier, const DataSetKey& key, std::uint64_t metadata_len) {
  if (identifier == 0) return fail(Error::invalid_data("journal dataset identifier must be > 0"));
  if (key.name.size() > kMaxNameLen) return too_long("journal name", kMaxNameLen);
  if (key.dataset_type.size() > kMaxNameLen) return too_long("journal dataset type", kMaxNameLen);
  if (metadata_len > kMaxFieldLen) return too_long("journal metadata", kMaxFieldLen);
  return {};
}

}  // namespace journal::record

}  // namespace quelvane
