#include "journal/log.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "journal/queue.h"
#include "support/dataset_fixture.h"
#include "support/file_faults.h"
#include "support/interrupted_write.h"
#include "support/payloads.h"
#include "support/temp_dir.h"
#include "util/bytes.h"
#include "util/log.h"

namespace quelvane {
namespace {

using testing::Bytes;
using testing::err;
using testing::ok;
using testing::read_bytes;
using testing::write_bytes;

StoreConfig small_store(std::uint64_t segment_size = 1 << 20) {
  StoreConfig c;
  c.data_segment_size = segment_size;
  c.initial_data_segment_size = 4096;
  return c;
}

// The record of write entry i: identifier 1, timestamp i.
JournalEntry entry(std::int64_t i) { return JournalEntry::write(1, {i, 124, 0}); }
// A mix: every 50th entry is too large for a shared block, every 7th a mid-sized one.
JournalEntry mixed_entry(std::int64_t i) {
  if (i % 50 == 0) return JournalEntry::create_dataset(1, {"a", "b"}, Bytes(65511 + i % 20, 'm'));
  if (i % 7 == 0) return JournalEntry::create_dataset(1, {"a", "b"}, testing::noise(i % 3000, i));
  return entry(i);
}
Bytes encoded(std::int64_t i) { return *journal::record::encode(entry(i)); }

std::vector<std::int64_t> sequences(const std::vector<JournalRecordData>& records) {
  std::vector<std::int64_t> out;
  for (const auto& r : records) out.push_back(r.first);
  return out;
}

// Captures the warn lines of one target while alive.
struct WarnLines {
  std::vector<std::string> lines;
  explicit WarnLines(std::string target) {
    log::set_sink(
        [this, target](log::Level, std::string_view t, std::string_view text) {
          if (t == target) lines.emplace_back(text);
        },
        log::Level::Warn);
  }
  ~WarnLines() { log::set_sink(nullptr, log::Level::Off); }
};

class JournalLogTest : public ::testing::Test {
 protected:
  fs::Path data_dir() const { return tmp_.path(); }
  fs::Path segments_dir() const { return journal::journal_dir(tmp_.path()) / "data"; }
  fs::Path segment(std::int64_t base) const { return segments_dir() / journal::segment_file_name(base); }

  std::shared_ptr<Journal> open(const StoreConfig& c = small_store()) { return ok(Journal::open(data_dir(), c)); }
  std::shared_ptr<Journal> open_read_only(const StoreConfig& c = small_store()) {
    return ok(Journal::open_read_only(data_dir(), c));
  }
  static void append_n(Journal& j, std::int64_t first, std::int64_t last) {
    for (std::int64_t i = first; i <= last; ++i) ASSERT_EQ(ok(j.append(entry(i))), i);
  }
  static void expect_all(Journal& j, std::int64_t last) {
    for (std::int64_t i = 1; i <= last; ++i) {
      auto got = ok(j.read(i));
      ASSERT_TRUE(got.has_value()) << i;
      ASSERT_EQ(got->second, encoded(i)) << i;
    }
  }

  testing::TempDir tmp_;
};

TEST_F(JournalLogTest, SequencesStartAtOneAndContinueAfterReopen) {
  {
    auto j = open();
    EXPECT_EQ(j->mode(), Journal::Mode::Writable);
    EXPECT_EQ(ok(j->latest_sequence()), std::nullopt);
    EXPECT_TRUE(fs::list_dir(segments_dir())->empty());
    append_n(*j, 1, 3);
    EXPECT_TRUE(fs::path_exists(segment(1)));
    EXPECT_EQ(segment(1).filename(), "00000000000000000001");
    EXPECT_EQ(ok(j->latest_sequence()), 3);
    ok(j->flush());
  }
  const Bytes marker = read_bytes(journal::journal_dir(data_dir()) / "meta");
  EXPECT_EQ(std::string(marker.begin(), marker.end()), "quelvane journal v1\n");
  auto j = open();
  EXPECT_EQ(ok(j->latest_sequence()), 3);
  append_n(*j, 4, 5);
  expect_all(*j, 5);
}

TEST_F(JournalLogTest, AnExistingMarkerIsLeftAlone) {
  ok(fs::create_dir_all(journal::journal_dir(data_dir())));
  write_bytes(journal::journal_dir(data_dir()) / "meta", {'x'});
  open();
  EXPECT_EQ(read_bytes(journal::journal_dir(data_dir()) / "meta"), Bytes{'x'});
}

TEST_F(JournalLogTest, FilesWithOtherNamesAreSkipped) {
  {
    auto j = open();
    append_n(*j, 1, 2);
  }
  const std::vector<std::string> bad = {"0000000000000000001",   "000000000000000000001", "0000000000000000000a",
                                        "00000000000000000000", "99999999999999999999", "9223372036854775808"};
  for (const auto& name : bad) write_bytes(segments_dir() / name, {1, 2, 3});
  ok(fs::create_dir_all(segments_dir() / journal::segment_file_name(7)));  // silently
  WarnLines warns("quelvane::journal::log");
  auto j = open();
  EXPECT_EQ(ok(j->latest_sequence()), 2);
  std::vector<std::string> expected;
  for (const auto& name : bad)
    expected.push_back("[journal] skipping invalid segment filename: \"" + (segments_dir() / name).string() + "\"");
  std::sort(warns.lines.begin(), warns.lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(warns.lines, expected);
  EXPECT_EQ(journal::parse_segment_file_name("09223372036854775807"), INT64_MAX);
}

TEST_F(JournalLogTest, ReadAndQueryClipToWhatExists) {
  auto j = open();
  append_n(*j, 1, 5);
  EXPECT_EQ(ok(j->read(0)), std::nullopt);
  EXPECT_EQ(ok(j->read(-1)), std::nullopt);
  EXPECT_EQ(ok(j->read(6)), std::nullopt);
  EXPECT_EQ(ok(j->read(INT64_MAX)), std::nullopt);
  struct Case {
    std::int64_t start, end;
    std::vector<std::int64_t> seqs;
  };
  const Case cases[] = {
      {5, 2, {}},
      {-10, 2, {1, 2}},
      {1, INT64_MAX, {1, 2, 3, 4, 5}},
      {INT64_MIN, INT64_MAX, {1, 2, 3, 4, 5}},
      {4, 4, {4}},
      {6, 100, {}},
      {INT64_MAX, INT64_MIN, {}},
  };
  for (const Case& c : cases) {
    auto got = ok(j->query(c.start, c.end));
    EXPECT_EQ(sequences(got), c.seqs) << c.start << ".." << c.end;
    for (const auto& [seq, bytes] : got) EXPECT_EQ(bytes, encoded(seq));
  }
}

TEST_F(JournalLogTest, DisabledAndReadOnlyJournals) {
  StoreConfig off = small_store();
  off.enable_journal = false;
  const Error disabled = Error::not_found("journal is disabled");
  for (auto j : {ok(Journal::open(data_dir(), off)), ok(Journal::open_read_only(data_dir(), off))}) {
    EXPECT_EQ(j->mode(), Journal::Mode::Disabled);
    EXPECT_EQ(ok(j->append(entry(1))), std::nullopt);
    Wake wake;
    ok(j->on_write(ok(j->make_room(JournalHook::Change::Write, 1)), 1, {1, 2, 3}, wake));
    EXPECT_EQ(err(j->latest_sequence()), disabled);
    EXPECT_EQ(err(j->read(1)), disabled);
    EXPECT_EQ(err(j->query(1, 2)), disabled);
    EXPECT_EQ(err(j->open_queue()), disabled);
    ok(j->flush());
  }
  EXPECT_FALSE(fs::path_exists(data_dir() / ".journal"));

  // Read-only without any journal directory: empty, and nothing is created.
  auto ro = open_read_only();
  EXPECT_EQ(ro->mode(), Journal::Mode::ReadOnly);
  EXPECT_EQ(ok(ro->latest_sequence()), std::nullopt);
  EXPECT_EQ(ok(ro->read(1)), std::nullopt);
  EXPECT_TRUE(ok(ro->query(1, 10)).empty());
  EXPECT_EQ(err(ro->open_queue()), Error::invalid_data("journal queue is not available in read-only store"));
  EXPECT_EQ(err(ro->append(entry(1))), Error::invalid_data("read-only journal cannot append records"));
  ok(ro->flush());
  EXPECT_FALSE(fs::path_exists(data_dir() / ".journal"));
}

TEST_F(JournalLogTest, ReadOnlyJournalServesWhatItFoundAtOpen) {
  auto writer = open();
  append_n(*writer, 1, 3);
  auto reader = open_read_only();
  // The writer fills and seals the block the reader saw raw, and rolls on.
  for (std::int64_t i = 4; i <= 4000; ++i) ASSERT_TRUE(writer->append(entry(i)).has_value());
  EXPECT_EQ(ok(reader->latest_sequence()), 3);
  expect_all(*reader, 3);
  EXPECT_EQ(ok(reader->read(4)), std::nullopt);
  EXPECT_EQ(sequences(ok(reader->query(1, 100))), (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_EQ(err(reader->append(entry(9))), Error::invalid_data("read-only journal cannot append records"));
}

// Listings of a journal's segment directory still to lose the segment just below the greatest,
// as one that ran while a live writer rolled over twice can: it shows the later new segment
// and not the earlier.
int listings_to_cut = 0;
void cut_one_below_the_last(const fs::Path& dir, std::vector<std::string>& names) {
  if (listings_to_cut == 0 || dir.filename().string() != "data") return;
  std::vector<std::string> segments;
  for (const auto& name : names)
    if (journal::parse_segment_file_name(name)) segments.push_back(name);
  if (segments.size() < 2) return;
  std::ranges::sort(segments);
  std::erase(names, segments[segments.size() - 2]);
  --listings_to_cut;
}

// A read-only journal whose listing missed a segment below its last one serves it all the same:
// its records used to read as none, and a query left them out without an error.
TEST_F(JournalLogTest, ReadOnlyOpenNeverMissesASegmentBelowItsLast) {
  auto writer = open(small_store(4096));
  append_n(*writer, 1, 1000);
  ok(writer->flush());
  listings_to_cut = 1;
  fs::set_listing_filter(cut_one_below_the_last);
  auto opened = Journal::open_read_only(data_dir(), small_store(4096));
  fs::set_listing_filter(nullptr);
  ASSERT_EQ(listings_to_cut, 0) << "no segment was left out";
  auto reader = ok(std::move(opened));
  EXPECT_EQ(ok(reader->latest_sequence()), 1000);
  expect_all(*reader, 1000);
  EXPECT_EQ(ok(reader->query(1, 1000)).size(), 1000u);
}

TEST_F(JournalLogTest, FullSegmentRollsOverAtTheNextSequence) {
  // 4 KiB segments hold about 180 write records.
  auto j = open(small_store(4096));
  append_n(*j, 1, 1000);
  const auto names = ok(fs::list_dir(segments_dir()));
  EXPECT_GT(names.size(), 4u);
  for (const auto& name : names) {
    const auto base = journal::parse_segment_file_name(name);
    ASSERT_TRUE(base.has_value()) << name;
    // Each segment starts with the record of its own base.
    auto seg = ok(JournalSegment::open_read_only(segments_dir() / name, *base, 4096));
    EXPECT_GT(seg.record_count(), 0u) << name;
    EXPECT_EQ(**seg.read(*base), encoded(*base)) << name;
  }
  expect_all(*j, 1000);
  EXPECT_EQ(sequences(ok(j->query(170, 200))).size(), 31u);
  // Reopened, only the last segment is opened; the others are opened by the reads that need them.
  j.reset();
  auto reopened = open(small_store(4096));
  ASSERT_EQ(ok(reopened->latest_sequence()), 1000);
  {
    auto log = ok(reopened->log()->lock());
    EXPECT_EQ(log->segment_count(), names.size());
    EXPECT_EQ(log->opened_segment_count(), 1u);
  }
  expect_all(*reopened, 1000);
  EXPECT_EQ(sequences(ok(reopened->query(-5, 1000))).size(), 1000u);
}

// Every segment a writer rolled past or a read walked past used to stay mapped until the
// store closed, so a long journal of small segments ran the process out of mappings. A writer,
// its reads, queries and a group, and a read-only journal beside it, each hold the last segment
// and a few sealed ones, whatever the journal's length, and give every record back. The
// segments are made in memory where it can be, as the disk's syncs would take minutes.
TEST(JournalMappings, ALongJournalHoldsABoundedNumberOfMappings) {
  constexpr std::int64_t kRecords = 100'000;
  constexpr std::size_t kBound = JournalLog::kMappedSealedSegments + 1;
  const testing::TempDir dir("/dev/shm");
  const fs::Path segments = journal::journal_dir(dir.path()) / "data";
  const StoreConfig c = small_store(512);  // about 11 records a segment
  auto j = ok(Journal::open(dir.path(), c));
  auto queue = ok(j->open_queue());
  auto group = ok(queue->open_consumer("g", 0, 3));
  for (std::int64_t i = 1; i <= kRecords; ++i) ASSERT_EQ(ok(j->append(entry(i))), i);
  {
    auto log = ok(j->log()->lock());
    ASSERT_GT(log->segment_count(), 9'000u);
  }
  EXPECT_LE(testing::mappings_in(segments), kBound) << "after the appends";

  const auto whole = [&](Journal& journal) {
    const auto all = ok(journal.query(1, kRecords));
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kRecords));
    for (std::int64_t i = 1; i <= kRecords; ++i) {
      ASSERT_EQ(all[i - 1].first, i);
      ASSERT_EQ(all[i - 1].second, encoded(i)) << i;
    }
  };
  whole(*j);
  EXPECT_LE(testing::mappings_in(segments), kBound) << "after a whole query";
  for (std::int64_t i = 1; i <= kRecords; i += 997) ASSERT_EQ(ok(j->read(i))->second, encoded(i)) << i;
  EXPECT_LE(testing::mappings_in(segments), kBound) << "after reads";
  for (std::int64_t i = 1; i <= 3000; ++i) {
    auto got = ok(group.try_poll());
    ASSERT_TRUE(got.has_value()) << i;
    ASSERT_EQ(got->first, i);
    ASSERT_EQ(got->second, encoded(i));
    ok(group.ack(i));
  }
  EXPECT_LE(testing::mappings_in(segments), kBound) << "after a group's polls";

  auto reader = ok(Journal::open_read_only(dir.path(), c));
  whole(*reader);
  EXPECT_LE(testing::mappings_in(segments), 2 * kBound) << "a reader's and the writer's";
}

TEST_F(JournalLogTest, RecordLargerThanAnEmptySegmentUsesNoSequence) {
  auto j = open(small_store(4096));
  append_n(*j, 1, 1);
  const JournalEntry big = JournalEntry::create_dataset(1, {"a", "b"}, testing::noise(5000, 1));
  for (int attempt = 0; attempt < 2; ++attempt) EXPECT_EQ(err(j->append(big)).kind(), ErrorKind::SegmentFull);
  EXPECT_EQ(ok(j->latest_sequence()), 1);
  EXPECT_TRUE(fs::path_exists(segment(2)));  // the empty segment it tried
  EXPECT_EQ(ok(j->append(entry(2))), 2);
  expect_all(*j, 2);
}

TEST_F(JournalLogTest, FailedRecreateOfTheEmptyLastSegmentKeepsItWritable) {
  // In a child: the full disk comes from a file size limit, and a SIGBUS ends only the child.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto j = Journal::open(data_dir(), small_store(4096));
    if (!j || !(*j)->append(entry(1))) ::_exit(2);
    // Too large for any segment: the journal rolls over to an empty segment 2 and tries it anew.
    const JournalEntry big = JournalEntry::create_dataset(1, {"a", "b"}, testing::noise(5000, 1));
    if ((*j)->append(big).error().kind() != ErrorKind::SegmentFull) ::_exit(3);
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{};
    ::getrlimit(RLIMIT_FSIZE, &lim);
    lim.rlim_cur = 1024;
    ::setrlimit(RLIMIT_FSIZE, &lim);
    // This time segment 2 cannot be made again: the disk is full.
    auto failed = (*j)->append(big);
    if (failed || failed.error().os_code() != EFBIG) ::_exit(4);
    // The record that fits goes into segment 2 as it was.
    auto seq = (*j)->append(entry(2));
    if (!seq || *seq != 2 || !(*j)->flush()) ::_exit(5);
    j->reset();
    auto reopened = Journal::open(data_dir(), small_store(4096));
    if (!reopened) ::_exit(6);
    auto got = (*reopened)->read(2);
    if (!got || !*got || (*got)->second != encoded(2)) ::_exit(7);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ok(fs::list_dir(segments_dir())).size(), 2u);  // no file left behind by the failed create
}

TEST_F(JournalLogTest, SequencesEndBelowTheLargestI64) {
  ok(fs::create_dir_all(segments_dir()));
  const std::int64_t last = journal::kMaxSequence;
  ok(JournalSegment::create(segment(last - 1), last - 1, 4096, 1 << 20, 3, 0));
  auto j = open();
  EXPECT_EQ(ok(j->append(entry(1))), last - 1);
  EXPECT_EQ(ok(j->append(entry(2))), last);
  EXPECT_EQ(err(j->append(entry(3))), Error::invalid_data("journal sequence overflow"));
  EXPECT_EQ(ok(j->latest_sequence()), last);
  EXPECT_EQ(ok(j->read(last))->second, encoded(2));
}

TEST_F(JournalLogTest, UnwrittenSegmentFilesAreSkippedAndDamagedOnesRefused) {
  {
    auto j = open();
    append_n(*j, 1, 3);
    ok(j->flush());
  }
  // A roll-over cut short leaves an empty or zero-filled file behind.
  write_bytes(segment(4), Bytes(4096, 0));
  write_bytes(segment(9), {});
  {
    WarnLines warns("quelvane::journal::log");
    auto j = open();
    EXPECT_EQ(warns.lines.size(), 2u);
    EXPECT_EQ(ok(j->latest_sequence()), 3);
    append_n(*j, 4, 4);
    expect_all(*j, 4);
    ok(j->flush());
  }
  EXPECT_EQ(ok(open_read_only()->latest_sequence()), 4);

  Bytes b = read_bytes(segment(1));
  b[0] = 'X';
  write_bytes(segment(1), b);
  EXPECT_EQ(err(Journal::open(data_dir(), small_store())), Error::invalid_magic());
  EXPECT_EQ(err(Journal::open_read_only(data_dir(), small_store())), Error::invalid_magic());
}

// A kill between the creation of a segment or group state file and its rename leaves it under
// its temporary name: never read nor warned about, and removed by the next writable open.
TEST_F(JournalLogTest, FilesLeftUnderTemporaryNamesAreNotSegmentsAndGoAtAWritableOpen) {
  {
    auto j = open();
    append_n(*j, 1, 2);
    ok(j->flush());
  }
  const fs::Path queue_dir = journal::journal_dir(data_dir()) / "queue";
  const std::vector<fs::Path> leftovers = {fs::temporary_beside(segment(3)), fs::temporary_beside(queue_dir / "g")};
  ok(fs::create_dir_all(queue_dir));
  for (const fs::Path& p : leftovers) write_bytes(p, Bytes(4096, 0));
  WarnLines warns("quelvane::journal::log");
  EXPECT_EQ(ok(open_read_only()->latest_sequence()), 2);
  for (const fs::Path& p : leftovers) EXPECT_TRUE(fs::path_exists(p)) << "a read-only store removes nothing";
  auto j = open();
  EXPECT_EQ(warns.lines, std::vector<std::string>{});
  for (const fs::Path& p : leftovers) EXPECT_FALSE(fs::path_exists(p)) << p;
  append_n(*j, 3, 3);
  expect_all(*j, 3);
}

TEST_F(JournalLogTest, HookRecordsTheChangesOfAJournalledDataset) {
  auto j = open();
  Wake wake;
  ok(j->on_write(ok(j->make_room(JournalHook::Change::Write, 7)), 7, {1000, 124, 0}, wake));
  ok(j->on_delete(ok(j->make_room(JournalHook::Change::Delete, 7)), 7, {1000, 124, 0}, wake));
  ok(j->on_append(ok(j->make_room(JournalHook::Change::Append, 7)), 7, {1001, 124, 22}, 3, 4, wake));
  EXPECT_EQ(ok(j->record_create_dataset({}, 8, {"a", "b"}, Bytes(82, 1), wake)), 4);
  EXPECT_EQ(ok(j->record_drop_dataset({}, 8, {"a", "b"}, Bytes(82, 1), wake)), 5);
  EXPECT_TRUE(wake.empty());
  const auto all = ok(j->query(1, 5));
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[0].second, *journal::record::encode(JournalEntry::write(7, {1000, 124, 0})));
  EXPECT_EQ(all[1].second, *journal::record::encode(JournalEntry::remove(7, {1000, 124, 0})));
  EXPECT_EQ(all[2].second, *journal::record::encode(JournalEntry::append(7, {1001, 124, 22}, 3, 4)));
  EXPECT_EQ(all[3].second[0], 0x01);
  EXPECT_EQ(all[4].second[0], 0x02);
}

class JournalledDataset : public testing::DatasetTest {};

TEST_F(JournalledDataset, WritesDeletesAndAppendsReachTheJournal) {
  auto journal = ok(Journal::open(tmp.path() / "store", small_store()));
  Dataset ds = create();
  DatasetContext ctx = context();
  ctx.journal_hook = journal;
  ok(ds.attach_context(std::move(ctx)));
  ok(ds.set_identifier(300));
  ok(ds.write(5, testing::bytes("abc")));
  ok(ds.append(5, testing::bytes("de")));
  ok(ds.delete_record(5));
  const auto records = ok(journal->query(1, 10));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].second[0], 0x11);
  EXPECT_EQ(records[1].second[0], 0x13);
  EXPECT_EQ(records[2].second[0], 0x12);
  for (const auto& r : records) EXPECT_EQ(r.second[1], 2) << "identifier 300 takes two bytes";
  // The append record carries the record's length before the append and the bytes added.
  const Bytes& append = records[1].second;
  ASSERT_EQ(append.size(), 32u);
  EXPECT_EQ(bytes::get<std::uint32_t>(append, 24), 3u);
  EXPECT_EQ(bytes::get<std::uint32_t>(append, 28), 2u);
}

// A writer killed at an arbitrary instant: after reopening, every sequence it had flushed
// reads back, and appends carry on after the last whole record.
TEST_F(JournalLogTest, KilledWriterKeepsEveryFlushedSequence) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipe_fds[0]);
    auto j = Journal::open(data_dir(), small_store(256 << 10));
    if (!j) ::_exit(2);
    for (std::int64_t i = 1;; ++i) {
      auto seq = (*j)->append(mixed_entry(i));
      if (!seq || *seq != i) ::_exit(3);
      if (i % 97 == 0) {
        if (!(*j)->flush()) ::_exit(4);
        if (::write(pipe_fds[1], &i, sizeof i) != sizeof i) ::_exit(5);
      }
    }
  }
  ::close(pipe_fds[1]);
  std::int64_t flushed = 0;
  for (int reports = 0; reports < 60; ++reports) {
    std::int64_t v = 0;
    ASSERT_EQ(::read(pipe_fds[0], &v, sizeof v), static_cast<ssize_t>(sizeof v));
    flushed = v;
  }
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(pipe_fds[0]);
  ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended by itself: " << status;

  auto j = open(small_store(256 << 10));
  const std::int64_t latest = ok(j->latest_sequence()).value_or(0);
  ASSERT_GE(latest, flushed);
  for (std::int64_t i = 1; i <= latest; ++i) {
    auto got = ok(j->read(i));
    ASSERT_TRUE(got.has_value()) << i;
    ASSERT_EQ(got->second, *journal::record::encode(mixed_entry(i))) << i;
  }
  EXPECT_EQ(ok(j->append(entry(latest + 1))), latest + 1);
  EXPECT_EQ(ok(j->read(latest + 1))->second, encoded(latest + 1));
}

}  // namespace
}  // namespace quelvane
