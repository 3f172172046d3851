#include "journal/record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quelvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace record = journal::record;

template <class T>
void le(Bytes& out, T v) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i)));
}

Bytes encoded(const JournalEntry& e) {
  auto out = record::encode(e);
  EXPECT_TRUE(out.has_value()) << out.error().display();
  // The room made for a record before its change is exactly what the record takes.
  if (out) {
    EXPECT_EQ(record::encoded_size(e), out->size());
  }
  return out.value_or(Bytes{});
}

TEST(JournalRecordTest, WriteDeleteAndAppendRecords) {
  const IndexEntry at{1000, 124, 0};
  Bytes write = {0x11, 0x01, 0x07, 0x10};
  le<std::int64_t>(write, 1000);
  le<std::uint64_t>(write, 124);
  le<std::uint16_t>(write, 0);
  EXPECT_EQ(encoded(JournalEntry::write(7, at)), write);
  EXPECT_EQ(write.size(), 22u);

  Bytes del = write;
  del[0] = 0x12;
  EXPECT_EQ(encoded(JournalEntry::remove(7, at)), del);

  const IndexEntry moved{-5, 0xFFFF'FFFF'FFFF'FFFF, 0xFFFF};
  Bytes append = {0x13, 0x02};
  le<std::uint16_t>(append, 300);
  append.push_back(0x10);
  le<std::int64_t>(append, -5);
  le<std::uint64_t>(append, 0xFFFF'FFFF'FFFF'FFFF);
  le<std::uint16_t>(append, 0xFFFF);
  append.push_back(0x11);
  le<std::uint32_t>(append, 40);
  le<std::uint32_t>(append, 0xABCDEF);
  EXPECT_EQ(encoded(JournalEntry::append(300, moved, 40, 0xABCDEF)), append);
  EXPECT_EQ(append.size(), 32u);
}

TEST(JournalRecordTest, IdentifierTakesTheSmallestWidth) {
  struct Case {
    std::uint64_t id;
    std::uint8_t code;
    std::size_t width;
  };
  const Case cases[] = {{1, 1, 1},          {255, 1, 1},          {256, 2, 2},
                        {65535, 2, 2},      {65536, 3, 4},        {4294967295ull, 3, 4},
                        {4294967296ull, 4, 8}, {~std::uint64_t{0}, 4, 8}};
  for (const Case& c : cases) {
    const Bytes b = encoded(JournalEntry::write(c.id, {1, 2, 3}));
    ASSERT_EQ(b.size(), 2 + c.width + 19) << c.id;
    EXPECT_EQ(b[1], c.code) << c.id;
    std::uint64_t id = 0;
    for (std::size_t i = 0; i < c.width; ++i) id |= std::uint64_t{b[2 + i]} << (8 * i);
    EXPECT_EQ(id, c.id);
    EXPECT_EQ(b[2 + c.width], 0x10) << c.id;
  }
}

TEST(JournalRecordTest, CreateAndDropCarryNameTypeAndMetadata) {
  const Bytes meta(82, 0x5C);
  Bytes create = {0x01, 0x01, 0x09, 0x10, 0x01, 0x00, 'a', 0x11, 0x01, 0x00, 'b', 0x12, 0x52, 0x00};
  create.resize(create.size() + meta.size(), 0x5C);  // the metadata bytes
  EXPECT_EQ(encoded(JournalEntry::create_dataset(9, {"a", "b"}, meta)), create);
  EXPECT_EQ(create.size(), 96u);
  Bytes drop = create;
  drop[0] = 0x02;
  EXPECT_EQ(encoded(JournalEntry::drop_dataset(9, {"a", "b"}, meta)), drop);
  // Empty fields are still written, with length 0.
  EXPECT_EQ(encoded(JournalEntry::create_dataset(1, {"", ""}, {})),
            (Bytes{0x01, 0x01, 0x01, 0x10, 0, 0, 0x11, 0, 0, 0x12, 0, 0}));
}

TEST(JournalRecordTest, EncoderRefusals) {
  const std::string n255(255, 'n'), n256(256, 'n');
  auto with = [](auto change) {
    JournalEntry e = JournalEntry::create_dataset(3, {"a", "b"}, Bytes(10));
    change(e);
    return e;
  };
  struct Case {
    const char* name;
    JournalEntry entry;
    const char* text;
  };
  const Case cases[] = {
      {"identifier 0, write", JournalEntry::write(0, {}), "journal dataset identifier must be > 0"},
      {"identifier 0, create", JournalEntry::create_dataset(0, {n256, ""}, {}),
       "journal dataset identifier must be > 0"},
      {"write without entry", with([](JournalEntry& e) { e.kind = JournalEntry::Kind::Write; }),
       "journal index_info is missing"},
      {"append without info", with([](JournalEntry& e) {
         e.kind = JournalEntry::Kind::Append;
         e.index_entry = IndexEntry{};
       }),
       "journal append_info is missing"},
      {"no name", with([](JournalEntry& e) { e.name.reset(); }), "journal name is missing"},
      {"no type", with([](JournalEntry& e) { e.dataset_type.reset(); }), "journal dataset type is missing"},
      {"long name", with([&](JournalEntry& e) { e.name = n256; }), "journal name must be at most 255 bytes"},
      {"long type", with([&](JournalEntry& e) { e.dataset_type = n256; }),
       "journal dataset type must be at most 255 bytes"},
      {"no metadata", with([](JournalEntry& e) { e.metadata.reset(); }), "journal metadata is missing"},
      {"long metadata", with([](JournalEntry& e) { e.metadata = Bytes(65536); }),
       "journal field value must be at most 65535 bytes"},
  };
  for (const Case& c : cases) {
    auto out = record::encode(c.entry);
    ASSERT_FALSE(out.has_value()) << c.name;
    EXPECT_EQ(out.error(), Error::invalid_data(c.text)) << c.name;
  }
  EXPECT_TRUE(record::encode(with([&](JournalEntry& e) {
                e.name = n255;
                e.dataset_type = n255;
                e.metadata = Bytes(65535);
              })).has_value());
}

TEST(JournalRecordTest, PutFieldLeavesTheBufferAloneOnRefusal) {
  Bytes out = {0xEE};
  EXPECT_EQ(record::put_field(out, 0x12, Bytes(65536)).error(),
            Error::invalid_data("journal field value must be at most 65535 bytes"));
  EXPECT_EQ(out, Bytes{0xEE});
  ASSERT_TRUE(record::put_field(out, 0x12, Bytes(300, 7)).has_value());
  EXPECT_EQ(out.size(), 1u + 3 + 300);
  EXPECT_EQ(out[1], 0x12);
  EXPECT_EQ(out[2], 300 & 0xFF);
  EXPECT_EQ(out[3], 300 >> 8);
}

TEST(JournalRecordTest, DatasetFieldPreCheck) {
  const std::string n256(256, 'x');
  struct Case {
    std::uint64_t id;
    DataSetKey key;
    std::uint64_t meta_len;
    const char* text;  // null: accepted
  };
  const Case cases[] = {
      {0, {n256, n256}, 70000, "journal dataset identifier must be > 0"},
      {1, {n256, n256}, 70000, "journal name must be at most 255 bytes"},
      {1, {"a", n256}, 70000, "journal dataset type must be at most 255 bytes"},
      {1, {"a", "b"}, 65536, "journal metadata must be at most 65535 bytes"},
      {1, {std::string(255, 'a'), std::string(255, 'b')}, 65535, nullptr},
  };
  for (const Case& c : cases) {
    auto checked = record::validate_dataset_fields(c.id, c.key, c.meta_len);
    if (c.text == nullptr) {
      EXPECT_TRUE(checked.has_value());
    } else {
      ASSERT_FALSE(checked.has_value()) << c.text;
      EXPECT_EQ(checked.error(), Error::invalid_data(c.text));
    }
  }
}

}  // namespace
}  // namespace quelvane
