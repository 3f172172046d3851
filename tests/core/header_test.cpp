// Segment file headers (data and index), their state rewrites, and the block and record headers.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "header.h"
#include "support/temp_dir.h"
#include "util/block_header.h"
#include "util/bytes.h"
#include "util/log.h"
#include "util/mapped_file.h"

namespace quelvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using header::DataState;
using header::FileHeader;
using header::MetaValues;

// "51 56 41 4e" -> {0x51, 0x56, 0x41, 0x4e}
Bytes hex_bytes(const std::string& s) {
  Bytes out;
  unsigned v = 0;
  int digits = 0;
  for (char c : s) {
    if (c == ' ' || c == '\n') continue;
    v = v * 16 + static_cast<unsigned>(std::stoi(std::string(1, c), nullptr, 16));
    if (++digits == 2) {
      out.push_back(static_cast<std::uint8_t>(v));
      v = 0;
      digits = 0;
    }
  }
  return out;
}

void set_u8(Bytes& f, std::size_t off, std::uint8_t v) { f.at(off) = v; }
void set_u16(Bytes& f, std::size_t off, std::uint16_t v) {
  ASSERT_LE(off + 2, f.size());
  bytes::store_le(f.data() + off, v);
}

Bytes with(Bytes f, const std::function<void(Bytes&)>& edit) {
  edit(f);
  return f;
}

std::function<void(Bytes&)> cut(std::size_t n) {
  return [n](Bytes& f) { f.resize(n); };
}

const MetaValues kDataMeta{.created_ms = 0x0102030405060708, .base = 0, .max_file_size = 64ull << 20,
                           .compress_level = 6, .compress_type = 0};
const MetaValues kIndexMeta{.created_ms = 1'700'000'000'000, .base = 1000, .max_file_size = 16ull << 20,
                            .compress_level = 9, .compress_type = 1};

Bytes data_file(const MetaValues& meta = kDataMeta, const DataState& state = {}) {
  Bytes f(header::kDataHeaderSize, 0xAA);
  header::write_data_header(meta, state, f);
  return f;
}

Bytes index_file(std::uint64_t entries_end = 128, std::size_t size = 128) {
  Bytes f(size, 0xAA);
  header::write_index_header(kIndexMeta, entries_end, f);
  return f;
}

// ---------------------------------------------------------------------------------------------
// Writers: exact bytes

TEST(HeaderWriters, FreshDataHeaderIsTheGolden124Bytes) {
  const Bytes golden = hex_bytes(
      "51 56 41 4e 01 00 02 29 00"
      "01 08 00 08 07 06 05 04 03 02 01"
      "02 08 00 00 00 00 00 00 00 00 00"
      "03 08 00 00 00 00 04 00 00 00 00"
      "04 01 00 06"
      "05 01 00 00"
      "48 00"
      "ff ff ff ff ff ff ff 7f"   // min_ts: empty
      "00 00 00 00 00 00 00 80"   // max_ts: empty
      "7c 00 00 00 00 00 00 00"   // write_position 124
      "00 00 00 00 00 00 00 00"   // record_count
      "00 00 00 00 00 00 00 00"   // uncompressed_size
      "ff ff ff ff ff ff ff ff"   // no pending block
      "00 00 00 00 00 00 00 00"
      "00 00 00 00 00 00 00 00"
      "00 00 00 00 00 00 00 00"); // invalid_record_count
  ASSERT_EQ(golden.size(), 124u);
  EXPECT_EQ(data_file(), golden);

  const FileHeader h = header::parse_data_header(golden).value();
  EXPECT_EQ(h.version, 1);
  EXPECT_EQ(h.file_type, header::kDataFileType);
  EXPECT_EQ(h.meta_length, 41);
  EXPECT_EQ(h.meta, kDataMeta);
  EXPECT_EQ(h.state_length, 72);
  EXPECT_EQ(h.header_len, 124u);
  EXPECT_EQ(h.state_offset(), 52u);
  EXPECT_EQ(h.data, DataState{});
}

TEST(HeaderWriters, FreshIndexHeaderFillsTheZeroedArea) {
  const Bytes golden = hex_bytes(
      "51 56 41 4e 01 00 01 29 00"
      "01 08 00 00 68 e5 cf 8b 01 00 00"
      "02 08 00 e8 03 00 00 00 00 00 00"
      "03 08 00 00 00 00 01 00 00 00 00"
      "04 01 00 09"
      "05 01 00 01"
      "08 00"
      "aa 00 00 00 00 00 00 00");  // entries_end 170: three entries
  Bytes expected = golden;
  expected.resize(128, 0);  // the rest of the area is zero even in a reused buffer
  expected.resize(140, 0xAA);  // the entries beyond it are not the header's
  EXPECT_EQ(index_file(170, 140), expected);

  const FileHeader h = header::parse_index_header(expected).value();
  EXPECT_EQ(h.file_type, header::kIndexFileType);
  EXPECT_EQ(h.meta, kIndexMeta);
  EXPECT_EQ(h.state_length, 8);
  EXPECT_EQ(h.header_len, 128u);
  EXPECT_EQ(h.entries_end, 170u);
  EXPECT_EQ(h.state_offset(), 52u);
}

TEST(HeaderWriters, AHeaderWrittenThroughAMappingReadsBackAfterReopen) {
  testing::TempDir dir;
  DataState state;
  state.totals = {.min_ts = -5, .max_ts = 77, .write_position = 300, .record_count = 4, .uncompressed_size = 176};
  state.pending = {.pending_block_offset = 60, .pending_wrote_position = 100, .pending_record_count = 2};
  state.invalid_record_count = 1;
  {
    auto f = MappedFile::create(dir / "seg", 4096).value();
    header::write_data_header(kDataMeta, state, f.mutable_bytes());
    ASSERT_TRUE(f.sync().has_value());
  }
  auto g = MappedFile::open(dir / "seg", MappedFile::Access::ReadOnly).value();
  const FileHeader h = header::parse_data_header(g.bytes()).value();
  EXPECT_EQ(h.data, state);
  EXPECT_EQ(h.header_len, 124u);
}

TEST(HeaderWriters, ABufferShorterThanTheHeaderIsABrokenInvariant) {
  Bytes shortfall(123, 0);
  EXPECT_THROW(header::write_data_header(kDataMeta, {}, shortfall), InternalFailure);
  Bytes small_index(127, 0);
  EXPECT_THROW(header::write_index_header(kIndexMeta, 128, small_index), InternalFailure);
}

// ---------------------------------------------------------------------------------------------
// Malformed headers: which check fires and its exact text

using Check = std::function<Status(std::span<const std::uint8_t>)>;

Status as_status(auto r) {
  if (!r) return fail(r.error());
  return {};
}
const Check kParseData = [](std::span<const std::uint8_t> f) { return as_status(header::parse_data_header(f)); };
const Check kParseIndex = [](std::span<const std::uint8_t> f) { return as_status(header::parse_index_header(f)); };
Check locate(std::uint8_t type, std::uint64_t word) {
  return [=](std::span<const std::uint8_t> f) { return as_status(header::locate_state(f, type, word)); };
}

struct BadHeader {
  const char* name;
  Bytes file;
  Check check;
  ErrorKind kind;
  std::string payload;
};

TEST(HeaderParsers, MalformedHeadersAreRefusedWithTheirExactMessages) {
  const auto ID = ErrorKind::InvalidData;
  const Bytes data = data_file();
  const Bytes index = index_file();
  const std::vector<BadHeader> cases = {
      // The fixed prefix, shared by every reader.
      {"empty file", {}, kParseData, ID, "truncated fixed header prefix: need 9 bytes, got 0"},
      {"8-byte file", with(data, cut(8)), kParseData, ID, "truncated fixed header prefix: need 9 bytes, got 8"},
      {"8-byte index", with(index, cut(8)), kParseIndex, ID, "truncated fixed header prefix: need 9 bytes, got 8"},
      {"8-byte locate", with(data, cut(8)), locate(2, 32), ID, "truncated fixed header prefix: need 9 bytes, got 8"},
      {"meta magic", with(data, [](Bytes& f) { f[3] = 'M'; }), kParseData, ErrorKind::InvalidMagic, ""},
      {"index magic", with(index, [](Bytes& f) { f[0] = 'q'; }), kParseIndex, ErrorKind::InvalidMagic, ""},
      {"locate magic", with(data, [](Bytes& f) { f[1] = 0; }), locate(2, 32), ErrorKind::InvalidMagic, ""},

      // Data header, in check order.
      {"data meta past the file", with(data, [](Bytes& f) { set_u16(f, 7, 200); }), kParseData, ID,
       "truncated meta tlv: need 209 bytes, got 124"},
      {"data compress_type 2", with(data, [](Bytes& f) { set_u8(f, 49, 2); }), kParseData, ID,
       "unknown compress_type 2"},
      {"data compress_type checked before the state", with(data, [](Bytes& f) { set_u8(f, 49, 200); f.resize(50); }),
       kParseData, ID, "unknown compress_type 200"},
      {"data state_length cut", with(data, cut(51)), kParseData, ID,
       "truncated data state_length: need 52 bytes, got 51"},
      {"data state_length 64", with(data, [](Bytes& f) { set_u16(f, 50, 64); }), kParseData, ID,
       "data state_length 64 is smaller than v1 72"},
      {"data state_length 0", with(data, [](Bytes& f) { set_u16(f, 50, 0); }), kParseData, ID,
       "data state_length 0 is smaller than v1 72"},
      {"data header cut", with(data, cut(123)), kParseData, ID, "truncated data header: need 124 bytes, got 123"},
      {"data state_length 80 in 124 bytes", with(data, [](Bytes& f) { set_u16(f, 50, 80); }), kParseData, ID,
       "truncated data header: need 132 bytes, got 124"},

      // Index header, in check order: the version comes before the meta area.
      {"index version 2", with(index, [](Bytes& f) { set_u16(f, 4, 2); }), kParseIndex, ID,
       "unsupported index file version 2, expected 1"},
      {"index version 0", with(index, [](Bytes& f) { set_u16(f, 4, 0); }), kParseIndex, ID,
       "unsupported index file version 0, expected 1"},
      {"index version before meta", with(index, [](Bytes& f) { set_u16(f, 4, 3); set_u16(f, 7, 500); }),
       kParseIndex, ID, "unsupported index file version 3, expected 1"},
      {"index meta past the file", with(index, [](Bytes& f) { set_u16(f, 7, 200); }), kParseIndex, ID,
       "truncated meta tlv: need 209 bytes, got 128"},
      {"index compress_type 7", with(index, [](Bytes& f) { set_u8(f, 49, 7); }), kParseIndex, ID,
       "unknown compress_type 7"},
      {"index state_length cut", with(index, cut(51)), kParseIndex, ID,
       "truncated index state_length: need 52 bytes, got 51"},
      {"index state_length 4", with(index, [](Bytes& f) { set_u16(f, 50, 4); }), kParseIndex, ID,
       "index state_length 4 is smaller than v1 8"},
      {"index content 129", with(index, [](Bytes& f) { set_u16(f, 50, 77); }), kParseIndex, ID,
       "index header content length 129 exceeds reserved entry start 128"},
      {"index content checked before the area", with(index, [](Bytes& f) { set_u16(f, 50, 77); f.resize(60); }),
       kParseIndex, ID, "index header content length 129 exceeds reserved entry start 128"},
      {"index area cut", with(index, cut(127)), kParseIndex, ID,
       "truncated index header reserved area: need 128 bytes, got 127"},
      {"index area cut after the state", with(index, cut(60)), kParseIndex, ID,
       "truncated index header reserved area: need 128 bytes, got 60"},

      // locate_state, before every in-place state write.
      {"locate on file_type 1", with(data, [](Bytes& f) { set_u8(f, 6, 1); }), locate(2, 32), ID,
       "unexpected file_type 1"},
      {"locate on an index file", index, locate(2, 64), ID, "unexpected file_type 1"},
      {"locate state_length cut", with(data, [](Bytes& f) { set_u16(f, 7, 120); }), locate(2, 32), ID,
       "truncated state_length: need 131 bytes, got 124"},
      {"locate state cut", with(data, [](Bytes& f) { set_u16(f, 50, 80); }), locate(2, 32), ID,
       "truncated state: need 132 bytes, got 124"},
      {"locate word 5-7 beyond state", with(data, [](Bytes& f) { set_u16(f, 50, 40); }), locate(2, 56), ID,
       "state field offset 56 exceeds state_length 40"},
      {"locate word 8 at the state's end", with(data, [](Bytes& f) { set_u16(f, 50, 64); }), locate(2, 64), ID,
       "state field offset 64 exceeds state_length 64"},
      {"locate far offset", data, locate(2, std::numeric_limits<std::uint64_t>::max()), ID,
       "state field offset 18446744073709551615 exceeds state_length 72"},
  };
  for (const BadHeader& c : cases) {
    SCOPED_TRACE(c.name);
    const Status s = c.check(c.file);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().kind(), c.kind);
    EXPECT_EQ(s.error().payload(), c.payload);
  }
}

TEST(HeaderParsers, FileTypeIsLeftToTheStateWriteAndLocateNeedsOnlyItsWord) {
  // A data parser reads a header of any file type; the first state write refuses it.
  const Bytes typed_index = with(data_file(), [](Bytes& f) { set_u8(f, 6, 1); });
  EXPECT_TRUE(header::parse_data_header(typed_index).has_value());
  // An index parser ignores the type byte altogether.
  EXPECT_TRUE(header::parse_index_header(with(index_file(), [](Bytes& f) { set_u8(f, 6, 2); })).has_value());

  // A state area just long enough for words 0 to 4 serves their rewrite.
  const Bytes short_state = with(data_file(), [](Bytes& f) { set_u16(f, 50, 40); });
  EXPECT_EQ(header::locate_state(short_state, 2, 32).value(), 52u);
  EXPECT_EQ(header::locate_state(data_file(), 2, 64).value(), 52u);
}

TEST(HeaderParsers, VersionRulesDifferBetweenDataAndIndex) {
  std::vector<std::string> logged;
  log::set_sink(
      [&](log::Level level, std::string_view target, std::string_view text) {
        if (level == log::Level::Warn) logged.push_back(std::string(target) + " | " + std::string(text));
      },
      log::Level::Info);

  const Bytes v2 = with(data_file(), [](Bytes& f) { set_u16(f, 4, 2); });
  const auto h = header::parse_data_header(v2);
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->version, 2);
  EXPECT_EQ(h->header_len, 124u);
  EXPECT_EQ(logged, std::vector<std::string>{
                        "quelvane::header | File has version 2 but we know 1, parsing known fields only"});

  logged.clear();
  const Bytes v0 = with(data_file(), [](Bytes& f) { set_u16(f, 4, 0); });
  EXPECT_TRUE(header::parse_data_header(v0).has_value());
  EXPECT_TRUE(header::parse_data_header(data_file()).has_value());
  EXPECT_TRUE(logged.empty()) << "versions 0 and 1 pass silently";

  const Bytes index_v2 = with(index_file(), [](Bytes& f) { set_u16(f, 4, 2); });
  EXPECT_EQ(header::parse_index_header(index_v2).error().payload(), "unsupported index file version 2, expected 1");

  log::set_sink(nullptr, log::Level::Off);
}

// ---------------------------------------------------------------------------------------------
// The lenient meta walker, and headers laid out unlike the ones written here

Bytes entry8(std::uint8_t tag, std::int64_t v) {
  Bytes e{tag, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  bytes::store_le(e.data() + 3, v);
  return e;
}
Bytes entry1(std::uint8_t tag, std::uint8_t v) { return {tag, 1, 0, v}; }
Bytes raw_entry(std::uint8_t tag, const Bytes& value) {
  Bytes e(3 + value.size(), 0);
  e[0] = tag;
  bytes::store_le(e.data() + 1, static_cast<std::uint16_t>(value.size()));
  std::copy(value.begin(), value.end(), e.begin() + 3);
  return e;
}
Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A data header with the given meta area and a state area of state_length bytes, its nine
// words set to 100, 101, ... so a misplaced read shows.
Bytes custom_data_header(const Bytes& meta, std::uint16_t state_length = 72) {
  Bytes f = {'Q', 'V', 'A', 'N', 1, 0, 2, 0, 0};
  bytes::store_le(f.data() + 7, static_cast<std::uint16_t>(meta.size()));
  f.insert(f.end(), meta.begin(), meta.end());
  f.push_back(0);
  f.push_back(0);
  bytes::store_le(f.data() + f.size() - 2, state_length);
  const std::size_t state = f.size();
  f.resize(state + state_length, 0xEE);
  for (std::size_t w = 0; w < 9 && (w + 1) * 8 <= state_length; ++w) {
    bytes::store_le<std::uint64_t>(f.data() + state + w * 8, 100 + w);
  }
  return f;
}

const Bytes kFiveEntries = concat({entry8(1, 11), entry8(2, 22), entry8(3, 33), entry1(4, 4), entry1(5, 1)});

TEST(HeaderParsers, TheMetaWalkerIsLenient) {
  struct Case {
    const char* name;
    Bytes meta;
    MetaValues expected;
  };
  const MetaValues all{11, 22, 33, 4, 1};
  const std::vector<Case> cases = {
      {"as written", kFiveEntries, all},
      {"unknown tag 9 between tags 2 and 3",
       concat({entry8(1, 11), entry8(2, 22), raw_entry(9, {1, 2, 3, 4, 5}), entry8(3, 33), entry1(4, 4), entry1(5, 1)}),
       all},
      {"tag 1 of length 4 is skipped",
       concat({raw_entry(1, {1, 2, 3, 4}), entry8(2, 22), entry8(3, 33), entry1(4, 4), entry1(5, 1)}),
       {0, 22, 33, 4, 1}},
      {"tag 4 of length 8 is skipped", concat({entry8(1, 11), entry8(4, 9), entry1(5, 1)}), {11, 0, 0, 0, 1}},
      {"a later duplicate wins", concat({entry8(2, 22), entry8(1, 11), entry8(2, -7), entry1(5, 1)}),
       {11, -7, 0, 0, 1}},
      {"an unknown empty entry is stepped over", concat({raw_entry(200, {}), entry8(3, 33)}), {0, 0, 33, 0, 0}},
      {"a truncated entry ends the walk",
       concat({entry8(1, 11), entry8(2, 22), Bytes{3, 8, 0, 1, 2, 3}}), {11, 22, 0, 0, 0}},
      {"a truncated entry hides what follows in its claimed length",
       concat({entry8(1, 11), Bytes{9, 0xFF, 0}, entry1(5, 1)}), {11, 0, 0, 0, 0}},
      {"trailing bytes shorter than an entry head", concat({kFiveEntries, Bytes{5, 1}}), all},
      {"empty meta area", {}, {}},
      {"meta area below one entry head", Bytes{5, 1}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes f = custom_data_header(c.meta);
    const auto meta = header::parse_meta(f, static_cast<std::uint16_t>(c.meta.size()));
    ASSERT_TRUE(meta.has_value()) << meta.error().display();
    EXPECT_EQ(*meta, c.expected);

    // The whole header parses around the same meta area, the state found after it.
    const auto h = header::parse_data_header(f);
    ASSERT_TRUE(h.has_value()) << h.error().display();
    EXPECT_EQ(h->meta, c.expected);
    EXPECT_EQ(h->header_len, 11 + c.meta.size() + 72);
    EXPECT_EQ(h->data.totals.min_ts, 100);
    EXPECT_EQ(h->data.invalid_record_count, 108u);
  }
}

TEST(HeaderParsers, ALongerStateAreaMovesTheBlocksAndKeepsTheKnownWords) {
  const Bytes f = custom_data_header(kFiveEntries, 80);
  const FileHeader h = header::parse_data_header(f).value();
  EXPECT_EQ(h.state_length, 80);
  EXPECT_EQ(h.header_len, 132u);
  EXPECT_EQ(h.data.totals.min_ts, 100);
  EXPECT_EQ(h.data.totals.max_ts, 101);
  EXPECT_EQ(h.data.totals.write_position, 102u);
  EXPECT_EQ(h.data.totals.record_count, 103u);
  EXPECT_EQ(h.data.totals.uncompressed_size, 104u);
  EXPECT_EQ(h.data.pending, (header::PendingState{105, 106, 107}));
  EXPECT_EQ(h.data.invalid_record_count, 108u);
}

TEST(HeaderParsers, IndexEntriesEndIsReadWhereTheMetaAreaEnds) {
  // An extra 5-byte entry puts state_length at 55 and entries_end at 57.
  const Bytes meta = concat({kFiveEntries, raw_entry(7, {0, 0})});
  Bytes f = {'Q', 'V', 'A', 'N', 1, 0, 1, 0, 0};
  bytes::store_le(f.data() + 7, static_cast<std::uint16_t>(meta.size()));
  f.insert(f.end(), meta.begin(), meta.end());
  f.resize(128, 0);
  bytes::store_le<std::uint16_t>(f.data() + 55, 8);
  bytes::store_le<std::uint64_t>(f.data() + 57, 128 + 14 * 5);
  const FileHeader h = header::parse_index_header(f).value();
  EXPECT_EQ(h.state_offset(), 57u);
  EXPECT_EQ(h.entries_end, 198u);
  EXPECT_EQ(h.header_len, 128u);
  EXPECT_EQ(h.meta, (MetaValues{11, 22, 33, 4, 1}));
}

// ---------------------------------------------------------------------------------------------
// In-place state rewrites

const header::DataTotals kTotals{.min_ts = -3, .max_ts = 9'000, .write_position = 4'096, .record_count = 17,
                                 .uncompressed_size = 2'000};
const header::PendingState kPending{.pending_block_offset = 3'000, .pending_wrote_position = 950,
                                    .pending_record_count = 5};

TEST(HeaderState, EachWriterRewritesOnlyItsOwnWords) {
  DataState start;
  start.invalid_record_count = 42;
  Bytes f = data_file(kDataMeta, start);
  f.resize(512, 0x5A);  // blocks after the header must stay untouched

  ASSERT_TRUE(header::write_data_state(f, kTotals).has_value());
  DataState expect = start;
  expect.totals = kTotals;
  EXPECT_EQ(header::parse_data_header(f).value().data, expect);

  ASSERT_TRUE(header::write_pending_state(f, kPending).has_value());
  expect.pending = kPending;
  EXPECT_EQ(header::parse_data_header(f).value().data, expect);

  EXPECT_EQ(header::parse_data_header(f).value().meta, kDataMeta);
  EXPECT_EQ(Bytes(f.begin() + 124, f.end()), Bytes(512 - 124, 0x5A));
}

TEST(HeaderState, TheLocatedOffsetVariantsWriteTheSameBytes) {
  Bytes checked = data_file();
  Bytes direct = data_file();
  ASSERT_TRUE(header::write_data_state(checked, kTotals).has_value());
  ASSERT_TRUE(header::write_pending_state(checked, kPending).has_value());
  const std::uint64_t at = header::locate_state(direct, header::kDataFileType, header::kInvalidRecordCountWord).value();
  header::write_data_state_at(direct, at, kTotals);
  header::write_pending_state_at(direct, at, kPending);
  EXPECT_EQ(direct, checked);

  Bytes tiny(60, 0);
  EXPECT_THROW(header::write_pending_state_at(tiny, 52, kPending), InternalFailure);
  EXPECT_THROW(header::write_data_state_at(tiny, std::numeric_limits<std::uint64_t>::max() - 4, kTotals),
               InternalFailure);
}

TEST(HeaderState, StateWritesFollowAMovedStateArea) {
  // meta_length 50: the state starts at 61, not at the written layout's 52.
  const Bytes meta = concat({entry8(1, 11), raw_entry(9, Bytes(6, 0)), entry8(2, 22), entry8(3, 33), entry1(4, 4),
                             entry1(5, 1)});
  Bytes f = custom_data_header(meta);
  ASSERT_EQ(header::locate_state(f, 2, 32).value(), 61u);
  ASSERT_TRUE(header::write_data_state(f, kTotals).has_value());
  ASSERT_TRUE(header::write_pending_state(f, kPending).has_value());
  const FileHeader h = header::parse_data_header(f).value();
  EXPECT_EQ(h.data.totals, kTotals);
  EXPECT_EQ(h.data.pending, kPending);
  EXPECT_EQ(h.data.invalid_record_count, 108u);
  EXPECT_EQ(h.meta, (MetaValues{11, 22, 33, 4, 1}));
}

TEST(HeaderState, ARefusedStateWriteLeavesTheFileAsItWas) {
  const Bytes wrong_type = with(data_file(), [](Bytes& f) { set_u8(f, 6, 1); });
  Bytes f = wrong_type;
  EXPECT_EQ(header::write_data_state(f, kTotals).error().payload(), "unexpected file_type 1");
  EXPECT_EQ(header::write_pending_state(f, kPending).error().payload(), "unexpected file_type 1");
  EXPECT_EQ(f, wrong_type);

  // A state area too short for the pending words: the totals still fit, the pending words do not.
  Bytes short_state = with(data_file(), [](Bytes& g) { set_u16(g, 50, 48); });
  const Bytes before = short_state;
  EXPECT_EQ(header::write_pending_state(short_state, kPending).error().payload(),
            "state field offset 56 exceeds state_length 48");
  EXPECT_EQ(short_state, before);
  EXPECT_TRUE(header::write_data_state(short_state, kTotals).has_value());
}

// ---------------------------------------------------------------------------------------------
// Block and record headers

TEST(BlockHeader, RoundTripsAtAnyPositionWithTheReservedWordZero) {
  Bytes buf(40, 0xFF);
  const util::BlockHeader h{.payload_size = 0x01020304, .flags = util::kCompressed | util::kSealed,
                            .record_count = 0x0506, .uncompressed_size = 0x0708090A};
  util::write_block_header(h, buf, 3);  // unaligned on purpose
  EXPECT_EQ(Bytes(buf.begin() + 3, buf.begin() + 19),
            hex_bytes("04 03 02 01 03 00 06 05 0a 09 08 07 00 00 00 00"));
  EXPECT_EQ(buf[2], 0xFF);
  EXPECT_EQ(buf[19], 0xFF);
  EXPECT_EQ(util::read_block_header(buf, 3), h);

  // The reserved word is never read.
  buf[15] = 0x77;
  EXPECT_EQ(util::read_block_header(buf, 3), h);
  // The last 16 bytes of a buffer are in bounds.
  util::write_block_header(h, buf, 24);
  EXPECT_EQ(util::read_block_header(buf, 24), h);
}

TEST(BlockHeader, OutOfBoundsIsABrokenInvariant) {
  Bytes buf(32, 0);
  EXPECT_THROW(util::read_block_header(buf, 17), InternalFailure);
  EXPECT_THROW(util::read_block_header(buf, std::numeric_limits<std::uint64_t>::max() - 3), InternalFailure);
  EXPECT_THROW(util::write_block_header({}, buf, 17), InternalFailure);
  EXPECT_THROW(util::read_record_header(buf, 21), InternalFailure);
  EXPECT_THROW(util::write_record_header(buf, 21, {}), InternalFailure);
  EXPECT_THROW(util::write_record(buf, 10, 1, Bytes(11, 0)), InternalFailure);
  EXPECT_EQ(buf, Bytes(32, 0)) << "nothing written by a refused write";
}

TEST(BlockHeader, TheFlagRule) {
  struct Case {
    std::uint16_t flags;
    const char* payload;  // nullptr: accepted
  };
  const std::vector<Case> cases = {
      {0x0, nullptr},  // raw pending block
      {0x3, nullptr},  // sealed block
      {0x7, nullptr},  // single-record block
      {0x1, "invalid block flags: SEALED and COMPRESSED must be paired (0x1)"},
      {0x2, "invalid block flags: SEALED and COMPRESSED must be paired (0x2)"},
      {0x5, "invalid block flags: SEALED and COMPRESSED must be paired (0x5)"},
      {0x6, "invalid block flags: SEALED and COMPRESSED must be paired (0x6)"},
      {0x4, "invalid block flags: SINGLE_RECORD requires SEALED|COMPRESSED (0x4)"},
      {0xc, "invalid block flags: SINGLE_RECORD requires SEALED|COMPRESSED (0xc)"},
      {0x8, nullptr},  // only the three known bits are ruled on
      {0xfffb, nullptr},
      {0xfff9, "invalid block flags: SEALED and COMPRESSED must be paired (0xfff9)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    const Status s = util::check_block_flags(c.flags);
    if (c.payload == nullptr) {
      EXPECT_TRUE(s.has_value()) << s.error().display();
    } else {
      ASSERT_FALSE(s.has_value());
      EXPECT_EQ(s.error().kind(), ErrorKind::InvalidData);
      EXPECT_EQ(s.error().payload(), c.payload);
    }
  }
}

TEST(RecordHeader, RecordsAreLengthKeyAndData) {
  Bytes buf(40, 0xEE);
  const Bytes data = {'a', 'b', 'c'};
  util::write_record(buf, 1, -2, data);
  EXPECT_EQ(Bytes(buf.begin() + 1, buf.begin() + 16),
            hex_bytes("03 00 00 00 fe ff ff ff ff ff ff ff 61 62 63"));
  EXPECT_EQ(buf[16], 0xEE);
  EXPECT_EQ(util::read_record_header(buf, 1), (util::RecordHeader{3, -2}));

  util::write_record_header(buf, 28, {0xFFFFFFFF, std::numeric_limits<std::int64_t>::min()});
  EXPECT_EQ(util::read_record_header(buf, 28),
            (util::RecordHeader{0xFFFFFFFF, std::numeric_limits<std::int64_t>::min()}));

  util::write_record(buf, 16, 5, {});  // an empty record is its 12-byte header
  EXPECT_EQ(util::read_record_header(buf, 16), (util::RecordHeader{0, 5}));
}

}  // namespace
}  // namespace quelvane
