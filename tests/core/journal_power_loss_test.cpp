// The journal across a power loss: what a completed flush covered is kept, nothing above it is
// read (torn or not: it may name a change its dataset lost), and the journal and its datasets
// agree. Each disk is built from the images the syncs made durable, and opened as the next boot.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "journal/log.h"
#include "store/store.h"
#include "support/dataset_fixture.h"
#include "support/interrupted_write.h"
#include "support/payloads.h"
#include "support/power_loss.h"
#include "support/temp_dir.h"
#include "util/boot.h"
#include "util/bytes.h"

namespace quelvane {
namespace {

using testing::Bytes;
using testing::ok;
using testing::PowerLoss;

constexpr util::BootId kFirstBoot{1};
constexpr util::BootId kNextBoot{2};

// Runs as the given boot while alive.
struct AsBoot {
  explicit AsBoot(const util::BootId& id) { util::set_boot_id_for_testing(id); }
  ~AsBoot() { util::reset_boot_id_for_testing(); }
};

StoreConfig store_config() {
  StoreConfig c;
  c.enable_background_thread = false;
  // Every tick of the manual background runs its flush.
  c.flush_interval = Duration::from_secs(0);
  return c;
}

const PowerLoss kSynced{.pages = PowerLoss::Pages::synced};
const PowerLoss kWritten{.pages = PowerLoss::Pages::written};

using NamedLosses = std::vector<std::pair<std::string, PowerLoss>>;

// Only the synced images, every page written, then twelve seeded page mixes, with `chosen` in
// between.
NamedLosses synced_written_and_random(NamedLosses chosen = {}) {
  NamedLosses cases{{"synced", kSynced}, {"written", kWritten}};
  for (auto& c : chosen) cases.push_back(std::move(c));
  for (std::uint64_t seed = 1; seed <= 12; ++seed)
    cases.emplace_back("random " + std::to_string(seed), PowerLoss{.pages = PowerLoss::Pages::random, .seed = seed});
  return cases;
}
PowerLoss journal_pages_only() {
  return {.pages = PowerLoss::Pages::chosen,
          .page_is_new = [](const std::filesystem::path& f, std::uint64_t) { return f.string().starts_with(".journal"); }};
}

// Journal records of about 3 KB, so that records cross pages and a page mix can tear one.
JournalEntry entry(std::int64_t i) {
  return JournalEntry::create_dataset(1, {"a", "b"}, testing::noise(2500 + static_cast<std::size_t>(i) * 37, i));
}
std::vector<JournalRecordData> expected_records(std::int64_t last) {
  std::vector<JournalRecordData> out;
  for (std::int64_t i = 1; i <= last; ++i) out.emplace_back(i, ok(journal::record::encode(entry(i))));
  return out;
}

class JournalPowerLossTest : public ::testing::Test {
 protected:
  // Ten records flushed, ten more written since.
  void SetUp() override {
    AsBoot boot(kFirstBoot);
    journal = ok(Journal::open(root.path(), store_config()));
    for (std::int64_t i = 1; i <= 10; ++i) ok(journal->append(entry(i)));
    ok(journal->flush());
    for (std::int64_t i = 11; i <= 20; ++i) ok(journal->append(entry(i)));
  }

  fs::Path disk(const PowerLoss& loss) {
    const fs::Path out = disks / std::to_string(built++);
    recorder.build_disk(out, loss);
    return out;
  }

  testing::TempDir root;
  testing::TempDir disks;
  testing::PowerLossRecorder recorder{root.path()};
  std::shared_ptr<Journal> journal;
  int built = 0;
};

TEST_F(JournalPowerLossTest, TheNextBootReadsTheFlushedRecordsAndNothingAbove) {
  const auto flushed = expected_records(10);
  for (const auto& [name, loss] : synced_written_and_random()) {
    SCOPED_TRACE(name);
    const fs::Path dir = disk(loss);
    AsBoot boot(kNextBoot);
    // A read-only open cannot cut the files: it serves only what the watermark covers.
    auto reader = ok(Journal::open_read_only(dir, store_config()));
    EXPECT_EQ(ok(reader->latest_sequence()), 10);
    EXPECT_EQ(ok(reader->query(1, INT64_MAX)), flushed);
    reader.reset();
    auto reopened = ok(Journal::open(dir, store_config()));
    EXPECT_EQ(ok(reopened->latest_sequence()), 10);
    EXPECT_EQ(ok(reopened->query(1, INT64_MAX)), flushed);
    EXPECT_EQ(ok(reopened->append(entry(11))), 11);
    EXPECT_EQ(ok(reopened->query(11, 11)), std::vector{expected_records(11).back()});
  }
}

// The block holding the flushed records is sealed by the appends that follow: its compressed
// form overwrites raw records a sync made durable.
TEST_F(JournalPowerLossTest, ASealOverFlushedRecordsKeepsThem) {
  {
    AsBoot boot(kFirstBoot);
    for (std::int64_t i = 21; i <= 30; ++i) ok(journal->append(entry(i)));
  }
  const auto segment_page = [](std::uint64_t only) {
    return PowerLoss{.pages = PowerLoss::Pages::chosen,
                     .page_is_new = [only](const std::filesystem::path& f, std::uint64_t page) {
                       return !f.string().starts_with(".journal/logs/data/") || page == only;
                     }};
  };
  NamedLosses pages;
  for (std::uint64_t page = 0; page < 4; ++page)
    pages.emplace_back("only segment page " + std::to_string(page) + " new", segment_page(page));
  const NamedLosses cases = synced_written_and_random(std::move(pages));
  const auto flushed = expected_records(10);
  for (const auto& [name, loss] : cases) {
    SCOPED_TRACE(name);
    const fs::Path dir = disk(loss);
    AsBoot boot(kNextBoot);
    auto reopened = ok(Journal::open(dir, store_config()));
    const auto kept = ok(reopened->query(1, INT64_MAX));
    EXPECT_EQ(kept.size(), flushed.size());
    EXPECT_TRUE(kept == flushed);
  }
}

TEST_F(JournalPowerLossTest, AKillKeepsEveryRecordAndACutStaysCutForTheBootThatMadeIt) {
  const auto all = expected_records(20);
  {
    // The same boot: only the process died, and the page cache holds every record.
    AsBoot boot(kFirstBoot);
    auto reopened = ok(Journal::open(disk(kWritten), store_config()));
    EXPECT_EQ(ok(reopened->query(1, INT64_MAX)), all);
  }
  AsBoot boot(kNextBoot);
  const fs::Path dir = disk(kWritten);
  {
    auto cut = ok(Journal::open(dir, store_config()));
    ASSERT_EQ(ok(cut->latest_sequence()), 10);
    for (std::int64_t i = 11; i <= 13; ++i) ok(cut->append(entry(i)));
  }  // killed: nothing flushed
  // The cut was stamped with this boot, so a kill in it keeps what came after the cut.
  auto again = ok(Journal::open(dir, store_config()));
  EXPECT_EQ(ok(again->query(1, INT64_MAX)), expected_records(13));
}

// ---- journal and datasets ----

Bytes value(std::uint64_t id, std::int64_t ts) {
  return testing::noise(300, static_cast<std::uint32_t>(id * 100000 + static_cast<std::uint64_t>(ts)));
}

// The write records of the journal: identifier and timestamp (identifiers below 256).
std::vector<std::pair<std::uint64_t, std::int64_t>> journal_writes(Store& store) {
  std::vector<std::pair<std::uint64_t, std::int64_t>> out;
  for (const auto& [seq, r] : ok(store.journal_query(1, INT64_MAX))) {
    if (r[0] != static_cast<std::uint8_t>(JournalEntry::Kind::Write)) continue;
    EXPECT_EQ(r[1], 1) << "identifier code at " << seq;
    out.emplace_back(r[2], bytes::load_le<std::int64_t>(r.data() + 4));
  }
  return out;
}

// The store's and the datasets' small files as written: a create is durable once it returns,
// which is not what these cases look at.
void keep_small_files(const fs::Path& root, const fs::Path& disk) {
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    const std::string name = e.path().filename().string();
    if (e.is_regular_file() && (name == "meta" || name == "identifier" || name == "max_identifier"))
      std::filesystem::copy_file(e.path(), disk / std::filesystem::relative(e.path(), root),
                                 std::filesystem::copy_options::overwrite_existing);
  }
}

TEST(JournalDatasetsPowerLossTest, JournalAndDatasetsAgreeBothWays) {
  enum class Flush { dataset_a, store_background };
  const struct {
    const char* name;
    bool second_dataset;  // b writes beside a, and only a's flush runs
    Flush flush;
    PowerLoss loss;
    util::BootId reopen_boot;
    std::int64_t kept;  // records of each dataset that must be there, in the dataset and the journal
  } cases[] = {
      {"a dataset's flush makes its journal records durable", false, Flush::dataset_a, kSynced, kNextBoot, 25},
      {"the journal's pages reached the disk, the dataset's did not", false, Flush::dataset_a, journal_pages_only(),
       kNextBoot, 25},
      {"a background flush, then the journal's pages only", false, Flush::store_background, journal_pages_only(),
       kNextBoot, 25},
      {"one dataset's flush syncs the other the journal names", true, Flush::dataset_a, kWritten, kNextBoot, 25},
      {"one dataset's flush, synced images only", true, Flush::dataset_a, kSynced, kNextBoot, 25},
      {"a kill keeps everything", true, Flush::dataset_a, kWritten, kFirstBoot, 40},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir root;
    testing::TempDir disks;
    std::vector<std::uint64_t> ids;
    {
      AsBoot boot(kFirstBoot);
      testing::PowerLossRecorder recorder(root.path());
      auto store = ok(Store::open(root.path(), store_config()));
      Dataset a = ok(store->create_dataset("a", "t", DataSetConfigBuilder(true)));
      std::optional<Dataset> b;
      if (c.second_dataset) b = ok(store->create_dataset("b", "t", DataSetConfigBuilder(true)));
      ids.push_back(a.identifier());
      if (b) ids.push_back(b->identifier());
      auto write_upto = [&](std::int64_t from, std::int64_t to) {
        for (std::int64_t ts = from; ts <= to; ++ts) {
          ok(a.write(ts, value(a.identifier(), ts)));
          if (b) ok(b->write(ts, value(b->identifier(), ts)));
        }
      };
      write_upto(1, 25);
      if (c.flush == Flush::dataset_a) ok(a.flush());
      else ok(store->tick_background_tasks());
      write_upto(26, 40);
      PowerLoss loss = c.loss;
      loss.lose_unsynced_entries = false;
      recorder.build_disk(disks / "d", loss);
      keep_small_files(root.path(), disks / "d");
    }
    AsBoot boot(c.reopen_boot);
    auto store = ok(Store::open(disks / "d", store_config()));
    std::map<std::uint64_t, Dataset> by_id;
    for (std::uint64_t id : ids) by_id.emplace(id, ok(store->open_dataset_by_identifier(id)));
    const auto writes = journal_writes(*store);
    // No journal record names a change its dataset does not hold.
    for (const auto& [id, ts] : writes) {
      ASSERT_TRUE(by_id.contains(id)) << id;
      const auto record = ok(by_id.at(id).read(ts));
      ASSERT_TRUE(record.has_value()) << "journal names " << id << "@" << ts << ", the dataset lost it";
      EXPECT_EQ(record->second, value(id, ts)) << id << "@" << ts;
    }
    // Every change a completed flush covered is in the dataset and in the journal.
    for (std::uint64_t id : ids) {
      for (std::int64_t ts = 1; ts <= c.kept; ++ts) {
        const auto record = ok(by_id.at(id).read(ts));
        EXPECT_TRUE(record.has_value() && record->second == value(id, ts)) << id << "@" << ts;
        EXPECT_NE(std::find(writes.begin(), writes.end(), std::pair{id, ts}), writes.end())
            << "journal lost " << id << "@" << ts;
      }
    }
  }
}

}  // namespace
}  // namespace quelvane
