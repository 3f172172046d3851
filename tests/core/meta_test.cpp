// The meta file: its exact image, the strict entry reader with its messages in check order,
// the defaults of absent entries, and the raw payload read for the journal.
#include "meta.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "support/file_faults.h"
#include "support/temp_dir.h"
#include "util/bytes.h"
#include "util/log.h"

namespace quelvane {
namespace {

using testing::TempDir;
using Bytes = std::vector<std::uint8_t>;

Bytes from_hex(std::string_view hex) {
  Bytes out;
  int hi = -1;
  for (char c : hex) {
    if (c == ' ') continue;
    int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(hi << 4 | v));
      hi = -1;
    }
  }
  return out;
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// One entry {tag, length, value}; the value is the low `width` bytes of v, little-endian.
Bytes entry(std::uint8_t tag, std::uint16_t width, std::uint64_t v) {
  Bytes e = {tag, static_cast<std::uint8_t>(width), static_cast<std::uint8_t>(width >> 8)};
  for (std::uint16_t i = 0; i < width; ++i) e.push_back(i < 8 ? static_cast<std::uint8_t>(v >> (8 * i)) : 0);
  return e;
}

// A meta file around a payload; the declared length is the payload's unless given.
Bytes meta_file(const Bytes& payload, std::uint16_t version = 1, std::optional<std::uint16_t> declared = {},
                std::string_view magic = "QVAM") {
  Bytes out(magic.begin(), magic.end());
  std::uint16_t len = declared.value_or(static_cast<std::uint16_t>(payload.size()));
  append(out, {static_cast<std::uint8_t>(version), static_cast<std::uint8_t>(version >> 8),
               static_cast<std::uint8_t>(len), static_cast<std::uint8_t>(len >> 8)});
  append(out, payload);
  return out;
}

// The three entries without which no meta file is valid.
Bytes required(std::uint64_t dss = 4096, std::uint64_t iss = 1024, std::uint64_t type = 0) {
  Bytes p = entry(1, 8, dss);
  append(p, entry(2, 8, iss));
  append(p, entry(9, 1, type));
  return p;
}

Bytes plus(Bytes base, const Bytes& more) {
  append(base, more);
  return base;
}

class MetaTest : public ::testing::Test {
 protected:
  fs::Path write(const Bytes& content) {
    fs::Path p = dir_ / "meta";
    EXPECT_TRUE(fs::write_file(p, content).has_value());
    return p;
  }
  Result<meta::Meta> read(const Bytes& content) { return meta::read_meta(write(content)); }

  TempDir dir_;
};

const meta::Meta kSample = {
    .data_segment_size = 0x1122334455667788,
    .index_segment_size = 0x0102030405060708,
    .create_time = -2,
    .initial_data_segment_size = 0x10,
    .initial_index_segment_size = 0x20,
    .retention_window = 0x7FFFFFFFFFFFFFFF,
    .compress_level = 3,
    .compress_type = 1,
    .index_continuous = 1,
    .enable_journal = 0,
};

TEST_F(MetaTest, WritesTheExactNinetyByteImageAndReadsItBack) {
  fs::Path p = dir_ / "meta";
  ASSERT_TRUE(meta::write_meta(kSample, p).has_value());
  Bytes golden = from_hex(
      "51 56 41 4D 01 00 52 00"
      "01 08 00 88 77 66 55 44 33 22 11"
      "02 08 00 08 07 06 05 04 03 02 01"
      "03 01 00 03"
      "09 01 00 01"
      "04 08 00 FE FF FF FF FF FF FF FF"
      "05 01 00 01"
      "06 08 00 10 00 00 00 00 00 00 00"
      "07 08 00 20 00 00 00 00 00 00 00"
      "08 08 00 FF FF FF FF FF FF FF 7F"
      "0A 01 00 00");
  ASSERT_EQ(golden.size(), 90u);
  EXPECT_EQ(fs::read_file(p).value(), golden);
  EXPECT_EQ(meta::read_meta(p).value(), kSample);
  EXPECT_EQ(meta::read_meta_payload(p).value(), Bytes(golden.begin() + 8, golden.end()));

  // A present file is emptied first, not overwritten at the front only.
  ASSERT_TRUE(fs::write_file(p, Bytes(200, 0xAB)).has_value());
  ASSERT_TRUE(meta::write_meta(kSample, p).has_value());
  EXPECT_EQ(fs::read_file(p).value(), golden);
}

// A write cut short (here the file may not grow past 40 bytes) leaves no meta at all, never a
// part of one, and no temporary file either.
TEST_F(MetaTest, AnInterruptedWriteLeavesNoFile) {
  fs::Path p = dir_ / "meta";
  {
    testing::FileSizeLimit limit(40);
    EXPECT_FALSE(meta::write_meta(kSample, p).has_value());
  }
  EXPECT_FALSE(fs::path_exists(p));
  EXPECT_EQ(fs::list_dir(dir_.path()).value(), std::vector<std::string>{});
  ASSERT_TRUE(meta::write_meta(kSample, p).has_value());
  EXPECT_EQ(meta::read_meta(p).value(), kSample);
  EXPECT_EQ(fs::list_dir(dir_.path()).value(), std::vector<std::string>{"meta"});
}

TEST_F(MetaTest, MalformedFilesFailWithTheFirstFailingCheck) {
  struct Case {
    const char* what;
    Bytes file;
    std::string message;
  };
  const Bytes ok = required();
  const std::vector<Case> cases = {
      {"empty file", {}, "meta file too short"},
      {"seven bytes", Bytes{'Q', 'V', 'A', 'M', 1, 0, 0}, "meta file too short"},
      {"bad magic wins over a truncated payload", meta_file({}, 1, 82, "QVAX"), "invalid meta magic"},
      {"declared length past the end", meta_file(ok, 1, static_cast<std::uint16_t>(ok.size() + 1)),
       "meta file truncated"},
      {"empty payload", meta_file({}), "meta missing data_segment_size"},
      {"payload of one byte", meta_file({1}), "meta TLV data has trailing partial entry"},
      {"payload of two bytes", meta_file({1, 8}), "meta TLV data has trailing partial entry"},
      {"lone empty entry ends exactly", meta_file({1, 0, 0}), "meta missing data_segment_size"},
      {"value runs past the payload", meta_file(plus(ok, entry(1, 8, 7)), 1, static_cast<std::uint16_t>(ok.size() + 10)),
       "meta TLV entry truncated"},
      {"unknown tag runs past the payload", meta_file(plus(ok, {0x63, 5, 0, 1})), "meta TLV entry truncated"},
      {"two stray bytes after the entries", meta_file(plus(ok, {4, 8})), "meta TLV data has trailing partial entry"},
      {"enable_journal 2 stops before the missing fields", meta_file(entry(10, 1, 2)),
       "meta enable_journal must be 0 or 1"},
      {"data_segment_size of width 4 is skipped", meta_file(plus(entry(1, 4, 4096), entry(2, 8, 1024))),
       "meta missing data_segment_size"},
      {"data_segment_size 0", meta_file(required(0)), "meta missing data_segment_size"},
      {"index_segment_size absent", meta_file(plus(entry(1, 8, 4096), entry(9, 1, 0))),
       "meta missing index_segment_size"},
      {"index_segment_size 0", meta_file(required(4096, 0)), "meta missing index_segment_size"},
      {"compress_level 10 before the missing compress_type",
       meta_file(plus(plus(entry(1, 8, 4096), entry(2, 8, 1024)), entry(3, 1, 10))),
       "meta compress_level must be <= 9"},
      {"compress_type absent", meta_file(plus(entry(1, 8, 4096), entry(2, 8, 1024))), "meta missing compress_type"},
      {"compress_type 2", meta_file(required(4096, 1024, 2)), "unknown compress_type 2"},
      {"index_continuous 2", meta_file(plus(ok, entry(5, 1, 2))), "meta index_continuous must be 0 or 1"},
      {"initial data size above the full size", meta_file(plus(ok, entry(6, 8, 4097))),
       "meta initial_data_segment_size exceeds data_segment_size"},
      {"initial index size above the full size", meta_file(plus(ok, entry(7, 8, 1025))),
       "meta initial_index_segment_size exceeds index_segment_size"},
      {"retention window above i64::MAX", meta_file(plus(ok, entry(8, 8, 0x8000000000000000))),
       "retention_window must be <= i64::MAX, got 9223372036854775808"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = read(c.file);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::invalid_data(c.message));
  }
}

TEST_F(MetaTest, AnUnreadableFileIsAnIoError) {
  auto r = meta::read_meta(dir_ / "missing");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
  EXPECT_EQ(r.error().os_code(), ENOENT);
  EXPECT_EQ(meta::read_meta(dir_.path()).error().kind(), ErrorKind::Io) << "a directory";
}

// Only a regular file is read: a FIFO in its place would block the open for ever, a device
// stream without end. Of a regular file nothing past the longest payload is read, and a
// payload of that length reads whole.
TEST_F(MetaTest, OnlyARegularFileIsReadAndOnlyAsFarAsTheLongestPayload) {
  const fs::Path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::Path device = dir_ / "device";
  ASSERT_EQ(::symlink("/dev/null", device.c_str()), 0);
  ::alarm(20);  // a read of the FIFO would block this test for ever
  for (const fs::Path& p : {fifo, device}) {
    EXPECT_EQ(meta::read_meta(p).error().display(), "I/O error: " + p.native() + " is not a regular file");
    EXPECT_EQ(meta::read_meta_payload(p).error().display(), "I/O error: " + p.native() + " is not a regular file");
  }
  ::alarm(0);

  Bytes payload = required(4096, 1024, 1);
  const std::size_t filler = 65535 - payload.size() - 3;
  append(payload, entry(200, static_cast<std::uint16_t>(filler), 0));
  ASSERT_EQ(payload.size(), 65535u);
  Bytes file = meta_file(payload);
  append(file, Bytes(1 << 20, 0xEE));
  const fs::Path p = write(file);
  EXPECT_EQ(meta::read_meta(p)->compress_type, 1);
  EXPECT_EQ(meta::read_meta_payload(p).value(), payload);
}

TEST_F(MetaTest, AbsentEntriesTakeTheirDefaults) {
  meta::Meta m = read(meta_file(required(4096, 1024, 1))).value();
  EXPECT_EQ(m, (meta::Meta{.data_segment_size = 4096,
                           .index_segment_size = 1024,
                           .create_time = 0,
                           .initial_data_segment_size = 4096,
                           .initial_index_segment_size = 1024,
                           .retention_window = 0,
                           .compress_level = 0,
                           .compress_type = 1,
                           .index_continuous = 0,
                           .enable_journal = 1}));
  // Initial sizes written as 0 also mean the full sizes.
  m = read(meta_file(plus(plus(required(), entry(6, 8, 0)), entry(7, 8, 0)))).value();
  EXPECT_EQ(m.initial_data_segment_size, 4096u);
  EXPECT_EQ(m.initial_index_segment_size, 1024u);
}

TEST_F(MetaTest, EntriesAreReadInAnyOrderAndTheLaterOneWins) {
  Bytes p = entry(9, 1, 0);
  append(p, entry(10, 1, 0));
  append(p, entry(1, 8, 100));
  append(p, entry(2, 8, 50));
  append(p, entry(0x40, 3, 0xFFFFFF));  // unknown tag: skipped
  append(p, entry(3, 2, 0xFFFF));      // known tag, wrong width: skipped
  append(p, entry(10, 2, 7));          // likewise, so its value is never range-checked
  append(p, entry(1, 8, 8192));
  append(p, entry(6, 8, 512));
  Bytes file = meta_file(p);
  append(file, {0xDE, 0xAD});  // bytes past the payload are not looked at
  meta::Meta m = read(file).value();
  EXPECT_EQ(m.data_segment_size, 8192u);
  EXPECT_EQ(m.index_segment_size, 50u);
  EXPECT_EQ(m.initial_data_segment_size, 512u);
  EXPECT_EQ(m.compress_level, 0);
  EXPECT_EQ(m.enable_journal, 0);
}

TEST_F(MetaTest, NewerVersionsAreReadWithAWarningOlderOnesSilently) {
  std::vector<std::string> logged;
  log::set_sink([&](log::Level, std::string_view target, std::string_view text) {
    logged.push_back(std::string(target) + " " + std::string(text));
  }, log::Level::Info);
  EXPECT_TRUE(read(meta_file(required(), 0)).has_value());
  EXPECT_TRUE(read(meta_file(required(), 1)).has_value());
  EXPECT_TRUE(logged.empty());
  EXPECT_EQ(read(meta_file(required(), 2)).value().data_segment_size, 4096u);
  log::set_sink(nullptr, log::Level::Off);
  EXPECT_EQ(logged, std::vector<std::string>{"quelvane::meta Meta file has version 2, expected 1"});
}

TEST_F(MetaTest, PayloadIsReturnedRawWithOnlyTheLengthChecked) {
  // Neither the magic nor the entries matter to the payload read.
  Bytes junk = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  Bytes file = meta_file(junk, 9, {}, "NOPE");
  append(file, {1, 2, 3});
  EXPECT_EQ(meta::read_meta_payload(write(file)).value(), junk);
  EXPECT_EQ(meta::read_meta_payload(write(meta_file({}))).value(), Bytes{});

  EXPECT_EQ(meta::read_meta_payload(write(Bytes(7, 0))).error(), Error::invalid_data("meta file too short"));
  EXPECT_EQ(meta::read_meta_payload(write(meta_file(junk, 1, 6))).error(), Error::invalid_data("meta file truncated"));
  EXPECT_EQ(meta::read_meta_payload(dir_ / "missing").error().kind(), ErrorKind::Io);
}

}  // namespace
}  // namespace quelvane
