// A dataset reopened from the disks a power loss can leave: what a completed flush covered is
// there, nothing torn or never written reads as data, and writes go on. The disks come from the
// images the syncs made durable (support/power_loss.h), reopened as another boot would.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "support/dataset_fixture.h"
#include "support/payloads.h"
#include "support/power_loss.h"
#include "util/boot.h"

namespace quelvane::testing {
namespace {

constexpr util::BootId kWriterBoot{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr util::BootId kNextBoot{16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
constexpr std::int64_t kMaxTs = std::numeric_limits<std::int64_t>::max();

// After the flush, a flushed record changed: written again, or appended to.
struct Change {
  enum class Kind { none, write, append } kind = Kind::none;
  std::int64_t ts = 0;
  std::size_t len = 0;
  std::vector<std::uint8_t> value(const std::vector<std::uint8_t>& before) const {
    std::vector<std::uint8_t> v = kind == Kind::append ? before : std::vector<std::uint8_t>{};
    const std::vector<std::uint8_t> more = noise(len, static_cast<std::uint32_t>(ts + 1000));
    v.insert(v.end(), more.begin(), more.end());
    return v;
  }
};

struct Workload {
  const char* name;
  std::int64_t flushed;    // records 1..flushed, then flush()
  std::int64_t unflushed;  // the records after it, which no flush covers
  std::size_t len;
  DataSetConfig config;
  Change change{};  // made after the unflushed records; either form may be found
  // Flushed timestamps written again after the flush, with the value they hold (a new copy the
  // entry the flush covered is rewritten to name), before the unflushed records.
  std::vector<std::int64_t> rewritten = {};
  std::size_t unflushed_len = 0;  // of the unflushed records; 0: len
  bool compressible = false;      // values a seal shrinks to a fraction of their bytes
};

std::size_t len_at(const Workload& w, std::int64_t ts) {
  return ts > w.flushed && w.unflushed_len != 0 ? w.unflushed_len : w.len;
}

std::vector<std::uint8_t> value_at(const Workload& w, std::int64_t ts) {
  std::vector<std::uint8_t> v = noise(len_at(w, ts), static_cast<std::uint32_t>(ts));
  if (w.compressible) {
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = i % 64 == 0 ? v[i] : 'a';
  }
  return v;
}

DataSetConfig continuous_config() {
  DataSetConfig c = small_config();
  c.index_continuous = true;
  return c;
}

const Workload kWorkloads[] = {
    {"records after a flush", 40, 5, 100, small_config()},
    {"records torn across pages", 3, 3, 7708, small_config()},
    {"an index roll-over after a flush", 40, 700, 20, small_config()},
    {"a continuous index", 40, 5, 100, continuous_config()},
    {"a seal over flushed records", 71, 1, 900, small_config()},
    {"a correction of the flushed latest record", 40, 0, 900, small_config(), {Change::Kind::write, 40, 3500}},
    {"a second write of a flushed record", 40, 0, 100, small_config(), {Change::Kind::write, 10, 100}},
    {"an append to the flushed latest record", 40, 0, 900, small_config(), {Change::Kind::append, 40, 5000}},
    // A seal after the flush shrinks the block below the flush's byte end; what follows it
    // then lies across that end.
    {"a seal after the flush, then records", 71, 8, 900, small_config(), {}, {}, 0, true},
    {"a seal after the flush, then a record of its own block", 71, 2, 900, small_config(), {}, {}, 70000, true},
    {"flushed records written again after the flush", 40, 5, 100, small_config(), {}, {10, 40}},
    {"flushed records written again, a continuous index", 40, 5, 100, continuous_config(), {}, {10, 40}},
};

struct Loss {
  std::string name;
  PowerLoss loss;
};

bool segment_file(const std::filesystem::path& file) {
  const std::string p = file.string();
  return p.find("/data/") != std::string::npos || p.find("/index/") != std::string::npos;
}

// The segment files' pages as `is_new` answers. The small files (meta, identifier, the state
// file) are taken as written: whether they reach the disk is another matter than these pages.
PowerLoss pages_where(std::function<bool(const std::filesystem::path&, std::uint64_t)> is_new) {
  PowerLoss l;
  l.pages = PowerLoss::Pages::chosen;
  l.lose_unsynced_entries = false;
  l.page_is_new = [is_new = std::move(is_new)](const std::filesystem::path& file, std::uint64_t page) {
    return !segment_file(file) || is_new(file, page);
  };
  return l;
}

std::vector<Loss> losses() {
  auto under = [](const char* part) {
    return pages_where([part](const std::filesystem::path& file, std::uint64_t) {
      return file.string().find(part) != std::string::npos;
    });
  };
  std::vector<Loss> out{{"only the synced images", pages_where([](const auto&, std::uint64_t) { return false; })},
                        {"every page written", pages_where([](const auto&, std::uint64_t) { return true; })},
                        {"the index's pages and not the data's", under("/index/")},
                        {"the data's pages and not the index's", under("/data/")}};
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    out.push_back({"page mix " + std::to_string(seed),
                   pages_where([seed](const std::filesystem::path& file, std::uint64_t page) {
                     std::uint64_t h = std::hash<std::string>{}(file.filename().string()) ^ (seed << 32) ^ page;
                     h = (h ^ (h >> 31)) * 0x9E3779B97F4A7C15ull;
                     return ((h ^ (h >> 29)) & 1) != 0;
                   })});
  }
  return out;
}

class DatasetPowerLossTest : public DatasetTest {
 protected:
  void TearDown() override { util::reset_boot_id_for_testing(); }

  // Runs the workload under the writer's boot while the recorder keeps the synced images.
  void run(const Workload& w) {
    util::set_boot_id_for_testing(kWriterBoot);
    recorder_ = std::make_unique<PowerLossRecorder>(tmp.path().native());
    live_ = ok(Dataset::create(key, dir(), w.config));
    for (std::int64_t t = 1; t <= w.flushed; ++t) ok(live_->write(t, value_at(w, t)));
    ok(live_->flush());
    for (std::int64_t t : w.rewritten) ok(live_->write(t, value_at(w, t)));
    for (std::int64_t t = w.flushed + 1; t <= w.flushed + w.unflushed; ++t) ok(live_->write(t, value_at(w, t)));
    const std::vector<std::uint8_t> changed = w.change.value(value_at(w, w.change.ts));
    if (w.change.kind == Change::Kind::write) ok(live_->write(w.change.ts, changed));
    if (w.change.kind == Change::Kind::append) ok(live_->append(w.change.ts, std::span(changed).subspan(w.len)));
  }

  fs::Path disk(const PowerLoss& loss, const std::string& name) {
    const fs::Path out = disks_.path() / name;
    recorder_->build_disk(out.native(), loss);
    return out / "a" / "b";
  }

  // Opens the disk as the given boot and checks it: records 1..k for some k at least `least`
  // (at most `most`), each with the bytes written at its timestamp, a next write that reads
  // back, and a reopen that finds them all.
  static void check(const fs::Path& at, const util::BootId& boot, std::int64_t least, std::int64_t most,
                    const Workload& w) {
    util::set_boot_id_for_testing(boot);
    auto opened = Dataset::open(DataSetKey{"a", "b"}, at);
    ASSERT_TRUE(opened) << opened.error().display();
    Dataset ds = std::move(*opened);
    auto all = ds.query_all(0, kMaxTs);
    ASSERT_TRUE(all) << all.error().display();
    const auto k = static_cast<std::int64_t>(all->size());
    EXPECT_GE(k, least);
    EXPECT_LE(k, most);
    for (std::int64_t i = 0; i < k; ++i) {
      ASSERT_EQ((*all)[i].first, i + 1);
      const auto& got = (*all)[i].second;
      const Change& change = w.change;
      const bool changed =
          change.kind != Change::Kind::none && change.ts == i + 1 && got == change.value(value_at(w, i + 1));
      ASSERT_TRUE(changed || got == value_at(w, i + 1)) << "record " << i + 1 << " reads wrong";
    }
    EXPECT_EQ(ds.latest_timestamp(), k == 0 ? std::nullopt : std::optional<std::int64_t>{k});
    ok(ds.write(k + 1, value_at(w, k + 1)));
    ok(ds.close());
    Dataset again = ok(Dataset::open(DataSetKey{"a", "b"}, at));
    auto after = again.query_all(0, kMaxTs);
    ASSERT_TRUE(after) << after.error().display();
    ASSERT_EQ(after->size(), static_cast<std::size_t>(k + 1));
    EXPECT_EQ(after->back().second, value_at(w, k + 1));
    ok(again.close());
  }

  std::unique_ptr<PowerLossRecorder> recorder_;
  std::optional<Dataset> live_;
  TempDir disks_;
};

// After a power loss every flushed record is there and reads as written; a record no flush
// covered may be gone, never torn, and an index entry never outlives its record.
TEST_F(DatasetPowerLossTest, FlushedRecordsSurviveAndNothingTornReads) {
  for (const Workload& w : kWorkloads) {
    SCOPED_TRACE(w.name);
    run(w);
    int n = 0;
    for (const Loss& l : losses()) {
      SCOPED_TRACE(l.name);
      check(disk(l.loss, std::string(w.name) + std::to_string(n++)), kNextBoot, w.flushed, w.flushed + w.unflushed, w);
    }
    recorder_.reset();
    ok(live_->close());
    live_.reset();
    (void)fs::remove_tree(dir());
  }
}

// A kill keeps the page cache: reopened in the same boot, nothing written is cut.
TEST_F(DatasetPowerLossTest, AKillInTheSameBootKeepsEverything) {
  const Workload& w = kWorkloads[0];
  run(w);
  const std::int64_t total = w.flushed + w.unflushed;
  check(disk(pages_where([](const auto&, std::uint64_t) { return true; }), "kill"), kWriterBoot, total, total, w);
}

// A dataset dropped without a close syncs as a close does: what it made durable is kept.
TEST_F(DatasetPowerLossTest, ADropCoversWhatItSynced) {
  const Workload& w = kWorkloads[0];
  run(w);
  live_.reset();
  const std::int64_t total = w.flushed + w.unflushed;
  check(disk(pages_where([](const auto&, std::uint64_t) { return false; }), "dropped"), kNextBoot, total, total, w);
}

// A file of an older writer holds no mark (bytes 60-127 of the index header are zero): it opens
// in another boot as it always did, nothing cut.
TEST_F(DatasetPowerLossTest, AnIndexWithoutAMarkIsNotCut) {
  const Workload& w = kWorkloads[0];
  run(w);
  const fs::Path at = disk(pages_where([](const auto&, std::uint64_t) { return true; }), "older writer");
  {
    MappedFile index = ok(MappedFile::open(at / "index" / IndexSegment::file_name(1), MappedFile::Access::ReadWrite));
    ASSERT_TRUE(index.fits(0, 128));
    for (std::uint64_t i = 60; i < 128; ++i) index.store<std::uint8_t>(i, 0);
  }
  const std::int64_t total = w.flushed + w.unflushed;
  check(at, kNextBoot, total, total, w);
}

}  // namespace
}  // namespace quelvane::testing
