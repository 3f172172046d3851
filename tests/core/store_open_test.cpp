// The store's data directory: identifier files, the writer lock, the scan, open in each
// read-only mode, and the teardown that gives the lock up last.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "queue/mod.h"
#include "store/store.h"
#include "support/allocation_counter.h"
#include "support/dataset_fixture.h"
#include "support/file_faults.h"
#include "support/msync_counter.h"
#include "support/power_loss.h"
#include "support/temp_dir.h"
#include "util/log.h"

namespace quelvane {
namespace {

using testing::err;
using testing::HeldMappings;
using testing::ok;
using testing::TempDir;

std::string read_text(const fs::Path& p) {
  auto b = ok(fs::read_file(p));
  return {b.begin(), b.end()};
}

void write_text(const fs::Path& p, std::string_view s) { ok(fs::write_file(p, bytes::as_bytes(s))); }

StoreConfig manual_config(ReadOnlyMode read_only = std::nullopt) {
  StoreConfig c;
  c.enable_background_thread = false;
  c.read_only = read_only;
  return c;
}

// Whether a writer could take the directory's lock right now.
bool lock_free(const fs::Path& dir) { return ok(store::try_lock_dir(dir)).has_value(); }

struct LogCapture {
  std::vector<std::string> lines;
  LogCapture() {
    log::set_sink([this](log::Level, std::string_view, std::string_view text) { lines.emplace_back(text); },
                  log::Level::Info);
  }
  ~LogCapture() { log::set_sink(nullptr, log::Level::Off); }
  bool has(std::string_view line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
};

TEST(StoreIdentifiers, ParseTable) {
  struct Case {
    std::string text;
    bool zero_allowed;
    std::optional<std::uint64_t> value;
    std::string error;  // after the label
  };
  const std::string kDecimal = " must be a decimal u64 string";
  const std::vector<Case> cases = {
      {" 42\n", true, 42, ""},
      {"\xC2\xA0\xE3\x80\x80" "42\xE2\x80\xA8\t", true, 42, ""},  // Unicode spaces around
      {"007", false, 7, ""},
      {"0", true, 0, ""},
      {"0", false, std::nullopt, " must be > 0"},
      {"18446744073709551615", true, 18446744073709551615ull, ""},
      {"18446744073709551616", true, std::nullopt, " exceeds maximum u64 identifier value"},
      {"99999999999999999999", true, std::nullopt, " exceeds maximum u64 identifier value"},
      {"+42", true, std::nullopt, kDecimal},
      {"-1", true, std::nullopt, kDecimal},
      {"4 2", true, std::nullopt, kDecimal},
      {"", true, std::nullopt, kDecimal},
      {" \n\t", true, std::nullopt, kDecimal},
      {"42\xC2\xA1", true, std::nullopt, kDecimal},  // U+00A1 is not white space
      {"0x2a", true, std::nullopt, kDecimal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = store::parse_identifier("max_identifier", c.text, c.zero_allowed);
    if (c.value) {
      ASSERT_TRUE(r.has_value()) << r.error().display();
      EXPECT_EQ(*r, *c.value);
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error(), Error::invalid_data("max_identifier" + c.error));
    }
  }
}

TEST(StoreIdentifiers, FilesReadAndWriteExactly) {
  TempDir tmp;
  EXPECT_EQ(ok(store::read_max_identifier(tmp.path())), 0u);  // missing
  ok(store::write_identifier_file(tmp / "identifier", 42));
  EXPECT_EQ(read_text(tmp / "identifier"), "42");
  EXPECT_EQ(ok(store::read_identifier_file(tmp.path())), 42u);

  // Rewritten in place from a shorter value and from one of the same length.
  ok(store::write_max_identifier(tmp.path(), 9));
  ok(store::write_max_identifier(tmp.path(), 10));
  EXPECT_EQ(read_text(tmp / "max_identifier"), "10");
  ok(store::write_max_identifier(tmp.path(), 11));
  EXPECT_EQ(read_text(tmp / "max_identifier"), "11");
  EXPECT_EQ(ok(store::read_max_identifier(tmp.path())), 11u);

  const fs::Path missing = tmp / "none";
  ok(fs::create_dir_all(missing));
  EXPECT_EQ(err(store::read_identifier_file(missing)),
            Error::not_found("dataset identifier not found at " + (missing / "identifier").string()));
  write_text(missing / "identifier", "0");
  EXPECT_EQ(err(store::read_identifier_file(missing)), Error::invalid_data("identifier must be > 0"));
}

// Every state the rewrite of max_identifier passes through, as a kill there would leave the
// file, reads as the old value or the new one; the last holds exactly the new digits.
fs::Path rewrite_dir;
std::vector<std::string> rewrite_states;
void take_rewrite_state(std::string_view step) {
  if (step.starts_with("max_identifier")) rewrite_states.push_back(read_text(rewrite_dir / "max_identifier"));
}

TEST(StoreIdentifiers, EveryStateOfTheMaxIdentifierRewriteParses) {
  struct Case {
    std::string old_text;  // what the file holds before; empty: no file
    std::uint64_t old_value, value;
  };
  const std::vector<Case> cases = {
      {"   42", 42, 43},
      {"42\n", 42, 43},
      {"\t 7 \r\n", 7, 8},
      {"0000099", 99, 100},
      {"\xE3\x80\x80" "5", 5, 6},  // U+3000 before the digit
      {"99", 99, 100},
      {"9", 9, 10},
      {"41", 41, 42},
      {"", 0, 1},
  };
  TempDir tmp;
  rewrite_dir = tmp.path();
  store::set_step_observer(take_rewrite_state);
  for (const Case& c : cases) {
    SCOPED_TRACE("\"" + c.old_text + "\" -> " + std::to_string(c.value));
    (void)fs::remove_file(tmp / "max_identifier");
    if (!c.old_text.empty()) write_text(tmp / "max_identifier", c.old_text);
    rewrite_states.clear();
    ok(store::write_max_identifier(tmp.path(), c.value));
    rewrite_states.push_back(read_text(tmp / "max_identifier"));
    EXPECT_EQ(rewrite_states.back(), std::to_string(c.value));
    for (const std::string& state : rewrite_states) {
      SCOPED_TRACE("state \"" + state + "\"");
      const std::uint64_t read = ok(store::parse_identifier("max_identifier", state, true));
      EXPECT_TRUE(read == c.old_value || read == c.value) << read;
    }
  }
  store::set_step_observer(nullptr);
}

TEST(StoreIdentifiers, HostileFilesAreIoErrors) {
  TempDir tmp;
  write_text(tmp / "max_identifier", "4\xFF");
  EXPECT_EQ(err(store::read_max_identifier(tmp.path())).kind(), ErrorKind::Io);

  write_text(tmp / "max_identifier", std::string(1 << 20, '1'));
  EXPECT_EQ(err(store::read_max_identifier(tmp.path())).kind(), ErrorKind::Io);

  // A FIFO would block a plain read for ever; a directory is not a file either.
  ok(fs::remove_file(tmp / "max_identifier"));
  ASSERT_EQ(::mkfifo((tmp / "max_identifier").c_str(), 0666), 0);
  EXPECT_EQ(err(store::read_max_identifier(tmp.path())).kind(), ErrorKind::Io);
  ok(fs::create_dir_all(tmp / "ds" / "identifier"));
  EXPECT_EQ(err(store::read_identifier_file(tmp / "ds")).kind(), ErrorKind::Io);
}

TEST(StoreLock, FlockConflictsWithinOneProcessAndIsNotInherited) {
  TempDir tmp;
  auto first = ok(store::try_lock_dir(tmp.path()));
  ASSERT_TRUE(first.has_value());
  EXPECT_NE(::fcntl(first->get(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_FALSE(ok(store::try_lock_dir(tmp.path())).has_value());
  first.reset();
  EXPECT_TRUE(lock_free(tmp.path()));
  EXPECT_EQ(read_text(tmp / ".lock"), "");
}

TEST(StoreScan, ListsValidDatasetDirectoriesSorted) {
  TempDir tmp;
  for (const char* d : {"b/x", "a/y", "a/x", "a/z.tmp", "bad.name/x", ".journal/logs", "-/_", "Z/0"})
    ok(fs::create_dir_all(tmp / d));
  ok(fs::create_dir_all(tmp / "elsewhere"));
  ASSERT_EQ(::symlink((tmp / "elsewhere").c_str(), (tmp / "b" / "link").c_str()), 0);
  ASSERT_EQ(::symlink((tmp / "gone").c_str(), (tmp / "b" / "dangling").c_str()), 0);
  ok(fs::create_dir_all(tmp / "\xFF\xFE"));
  write_text(tmp / "c", "");
  write_text(tmp / "a" / "file", "");

  std::vector<std::string> seen;
  for (const auto& d : ok(store::scan_datasets(tmp.path()))) {
    EXPECT_EQ(d.dir, tmp / d.name / d.dataset_type);
    seen.push_back(d.name + "/" + d.dataset_type);
  }
  // Bytewise: '-' < digits < upper case < '_' < lower case.
  EXPECT_EQ(seen, (std::vector<std::string>{"-/_", "Z/0", "a/x", "a/y", "b/link", "b/x"}));
  EXPECT_EQ(err(store::scan_datasets(tmp / "missing")).kind(), ErrorKind::Io);

  // What a killed create or drop left under the staging names is never listed, and a writer's
  // scan removes it.
  for (const char* staged : {store::kCreatingName, store::kDroppingName}) {
    ok(fs::create_dir_all(tmp / "a" / staged / "data"));
    ok(fs::create_dir_all(tmp / "a" / "x" / staged));  // inside a dataset: none of the scan's business
  }
  EXPECT_EQ(ok(store::scan_datasets(tmp.path())).size(), seen.size());
  EXPECT_TRUE(fs::path_exists(tmp / "a" / store::kCreatingName));
  EXPECT_EQ(ok(store::scan_datasets(tmp.path(), true)).size(), seen.size());
  for (const char* staged : {store::kCreatingName, store::kDroppingName}) {
    EXPECT_FALSE(fs::path_exists(tmp / "a" / staged));
    EXPECT_TRUE(fs::path_exists(tmp / "a" / "x" / staged));
  }
}

TEST(StoreOpen, ReadOnlyModes) {
  TempDir tmp;
  const fs::Path dir = tmp / "store";
  {
    // An invalid configuration touches nothing.
    StoreConfig bad = manual_config(false);
    bad.compress_type = 9;
    EXPECT_FALSE(Store::open(dir, bad).has_value());
    EXPECT_FALSE(fs::path_exists(dir));
  }
  {
    // True: nothing is created, and there is nothing to list.
    auto ro = ok(Store::open(dir, manual_config(true)));
    EXPECT_TRUE(ro->read_only());
    EXPECT_FALSE(fs::path_exists(dir));
    EXPECT_EQ(err(ro->get_dataset_names()).kind(), ErrorKind::Io);
    EXPECT_EQ(err(ro->tick_background_tasks()), Error::invalid_data("read-only store has no background tasks"));
  }
  LogCapture logs;
  auto writer = ok(Store::open(dir, manual_config(false)));
  EXPECT_FALSE(writer->read_only());
  EXPECT_TRUE(fs::path_exists(dir / ".lock"));
  EXPECT_FALSE(fs::path_exists(dir / "max_identifier"));
  EXPECT_TRUE(logs.has("[store] background thread disabled, manual tick required"));

  EXPECT_EQ(err(Store::open(dir, manual_config(false))), Error::invalid_data("store is already locked for writing"));
  auto fallback = ok(Store::open(dir, manual_config(std::nullopt)));
  EXPECT_TRUE(fallback->read_only());
  EXPECT_TRUE(logs.has("[store] opened in read-only mode, background tasks disabled"));
  EXPECT_EQ(err(fallback->next_background_delay()), Error::invalid_data("read-only store has no background tasks"));

  writer.reset();
  EXPECT_TRUE(lock_free(dir));
  EXPECT_FALSE(ok(Store::open(dir, manual_config(false)))->read_only());
}

// A create, a drop and a flush are durable when they return: after a power loss that keeps only
// what the syncs made durable (files and directory entries alike), what they returned is there.
TEST(StoreOpen, WhatACreateDropOrFlushReturnedSurvivesAPowerLoss) {
  using Step = std::function<void(const fs::Path& store_dir)>;
  auto store_at = [](const fs::Path& dir) { return ok(Store::open(dir, manual_config())); };
  auto write_flushed = [&](const fs::Path& dir, std::string_view name, int records) {
    auto s = store_at(dir);
    Dataset ds = ok(s->create_dataset(name, "t"));
    for (int ts = 1; ts <= records; ++ts) ok(ds.write(ts, bytes::as_bytes(std::string_view("record"))));
    ok(ds.flush());
  };
  auto holds = [&](const fs::Path& dir, std::string_view name, int records) {
    auto s = store_at(dir);
    Dataset ds = ok(s->open_dataset(name, "t"));
    EXPECT_EQ(ds.latest_timestamp(), records) << name;
    for (int ts = 1; ts <= records; ++ts) EXPECT_TRUE(ok(ds.read(ts))) << name << " " << ts;
  };
  const struct {
    const char* name;
    Step before;  // synced by the time the recording starts
    Step returned;
    Step check;   // on the disk the power loss left
  } cases[] = {
      {"a new store's first dataset, written and flushed", [](const fs::Path&) {},
       [&](const fs::Path& d) { write_flushed(d, "a", 100); }, [&](const fs::Path& d) { holds(d, "a", 100); }},
      {"a second dataset, which rewrites max_identifier", [&](const fs::Path& d) { write_flushed(d, "a", 1); },
       [&](const fs::Path& d) { write_flushed(d, "b", 10); },
       [&](const fs::Path& d) {
         holds(d, "a", 1);
         holds(d, "b", 10);
         auto s = store_at(d);
         EXPECT_EQ(ok(s->create_dataset("c", "t")).identifier(), 3u) << "no identifier is handed out twice";
       }},
      {"a drop", [&](const fs::Path& d) { write_flushed(d, "a", 1); write_flushed(d, "b", 1); },
       [&](const fs::Path& d) { ok(store_at(d)->drop_dataset("b", "t")); },
       [&](const fs::Path& d) {
         holds(d, "a", 1);
         EXPECT_EQ(err(store_at(d)->open_dataset("b", "t")).kind(), ErrorKind::NotFound);
       }},
      {"a consumer group's new file", [&](const fs::Path& d) { write_flushed(d, "a", 1); },
       [&](const fs::Path& d) {
         auto s = store_at(d);
         Dataset ds = ok(s->open_dataset("a", "t"));
         DatasetQueue q = ok(DatasetQueue::open(ds));
         auto c = ok(q.open_consumer("g", {}));
         for (int i = 0; i < 3; ++i) ok(q.push(bytes::as_bytes(std::string_view("pushed"))));
         ok(ds.flush());
       },
       [&](const fs::Path& d) {
         auto s = store_at(d);
         Dataset ds = ok(s->open_dataset("a", "t"));
         DatasetQueue q = ok(DatasetQueue::open(ds));
         auto c = ok(q.open_consumer("g", {}));
         auto first = ok(c.try_poll());
         ASSERT_TRUE(first) << "the group skipped the records pushed after it was made";
         EXPECT_EQ(first->first, 2);
       }},
  };
  TempDir tmp;
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::Path root = tmp / std::to_string(n++);
    ok(fs::create_dir_all(root));
    c.before(root / "s");
    {
      testing::PowerLossRecorder recorder(root);
      c.returned(root / "s");
      recorder.build_disk(tmp / (std::to_string(n) + "-disk"), testing::PowerLoss{});
    }
    c.check(tmp / (std::to_string(n) + "-disk") / "s");
  }
}

// A power loss can leave a rewritten max_identifier empty: a writable open mends it from the
// identifiers the datasets hold, a read-only one takes that value without writing.
TEST(StoreOpen, AMaxIdentifierLeftEmptyIsMendedFromTheDatasets) {
  TempDir tmp;
  {
    auto s = ok(Store::open(tmp.path(), manual_config()));
    for (const char* name : {"a", "b", "c"}) ok(s->create_dataset(name, "t"));
    ok(s->drop_dataset("b", "t"));
  }
  for (const char* blank : {"", " \n"}) {
    write_text(tmp / "max_identifier", blank);
    auto read_only = ok(Store::open(tmp.path(), manual_config(true)));
    EXPECT_EQ(ok(read_only->open_dataset("c", "t")).identifier(), 3u);
    EXPECT_EQ(read_text(tmp / "max_identifier"), blank) << "a read-only open writes nothing";
    read_only.reset();
    auto s = ok(Store::open(tmp.path(), manual_config()));
    EXPECT_EQ(read_text(tmp / "max_identifier"), "3");
    EXPECT_EQ(ok(s->create_dataset(std::string("d") + std::to_string(blank[0] != 0), "t")).identifier(), 4u);
    ok(s->drop_dataset(std::string("d") + std::to_string(blank[0] != 0), "t"));
  }
}

TEST(StoreOpen, BadDirectories) {
  TempDir tmp;
  EXPECT_EQ(err(Store::open("", manual_config())), Error::os(ENOENT));
  write_text(tmp / "file", "");
  EXPECT_EQ(err(Store::open(tmp / "file", manual_config())), Error::os(EEXIST));
  EXPECT_EQ(err(Store::open(tmp / "file" / "sub", manual_config())).kind(), ErrorKind::Io);
  ok(fs::create_dir_all(tmp / "bad"));
  write_text(tmp / "bad" / "max_identifier", "x");
  EXPECT_EQ(err(Store::open(tmp / "bad", manual_config())),
            Error::invalid_data("max_identifier must be a decimal u64 string"));
  // The failed open gave the lock back.
  EXPECT_TRUE(lock_free(tmp / "bad"));
}

TEST(StoreOpen, ContentionWithAnotherProcess) {
  TempDir tmp;
  int to_parent[2], to_child[2];
  ASSERT_EQ(::pipe(to_parent), 0);
  ASSERT_EQ(::pipe(to_child), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto s = Store::open(tmp.path(), manual_config(false));
    char c = s ? 'y' : 'n';
    (void)!::write(to_parent[1], &c, 1);
    (void)!::read(to_child[0], &c, 1);
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(to_parent[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  EXPECT_EQ(err(Store::open(tmp.path(), manual_config(false))),
            Error::invalid_data("store is already locked for writing"));
  EXPECT_TRUE(ok(Store::open(tmp.path(), manual_config()))->read_only());
  ASSERT_EQ(::write(to_child[1], &c, 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_FALSE(ok(Store::open(tmp.path(), manual_config()))->read_only());
  for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) ::close(fd);
}

TEST(StoreOpen, TeardownGivesTheLockUpLastUnlessAHandedOutDatasetCanStillWrite) {
  TempDir tmp;
  {
    // Datasets only the registry holds go with the store; the lock is free right after.
    auto s = ok(Store::open(tmp.path(), StoreConfig{}));
    ok(s->create_dataset("a", "b"));
    EXPECT_FALSE(lock_free(tmp.path()));
  }
  EXPECT_TRUE(lock_free(tmp.path()));

  // Freed without closing what it handed out: the dataset keeps the lock while it can write.
  auto s = ok(Store::open(tmp.path(), manual_config()));
  Dataset ds = ok(s->open_dataset("a", "b"));
  s.reset();
  EXPECT_FALSE(lock_free(tmp.path()));
  ok(ds.write(1, bytes::as_bytes(std::string_view("x"))));
  EXPECT_EQ(err(Store::open(tmp.path(), manual_config(false))),
            Error::invalid_data("store is already locked for writing"));
  ok(ds.close());
  EXPECT_TRUE(lock_free(tmp.path()));

  // A store whose handed-out dataset was closed gives the lock up with its own end.
  auto again = ok(Store::open(tmp.path(), manual_config()));
  Dataset closed = ok(again->open_dataset("a", "b"));
  ok(closed.close());
  again.reset();
  EXPECT_TRUE(lock_free(tmp.path()));
}

TEST(StoreOpen, TheJournalQueueKeepsTheLockUntilItCloses) {
  TempDir tmp;
  {
    // Freed without closing: the queue's consumer can still ack, so the lock stays with it.
    auto s = ok(Store::open(tmp.path(), manual_config()));
    std::shared_ptr<JournalQueue> queue = ok(s->open_journal_queue());
    JournalQueueConsumer consumer = ok(queue->open_consumer("g", 900, 3));
    queue.reset();
    s.reset();
    EXPECT_FALSE(lock_free(tmp.path()));
    EXPECT_EQ(ok(consumer.poll(Duration{})), std::nullopt);
  }
  EXPECT_TRUE(lock_free(tmp.path()));

  // Closing the journal closes its queue and lets the lock go with the store, whatever lives on.
  auto s = ok(Store::open(tmp.path(), manual_config()));
  JournalQueueConsumer consumer = ok(ok(s->open_journal_queue())->open_consumer("g", 900, 3));
  ok(s->close_journal());
  s.reset();
  EXPECT_TRUE(lock_free(tmp.path()));
  EXPECT_EQ(err(consumer.poll(Duration{})).kind(), ErrorKind::QueueClosed);
}

// A relative data directory is resolved once for the files, and shown as given: the dataset's
// directory, its inspection record and the messages that name a path all read "rel/...".
TEST(StoreOpen, RelativeDirectoryIsResolvedOnceAndShownAsGiven) {
  TempDir tmp;
  ok(fs::create_dir_all(tmp / "elsewhere"));
  const fs::Path cwd = std::filesystem::current_path();
  ASSERT_EQ(::chdir(tmp.path().c_str()), 0);
  auto s = Store::open("rel/", manual_config());
  ASSERT_EQ(::chdir((tmp / "elsewhere").c_str()), 0);
  ASSERT_TRUE(s.has_value());
  Store& store = **s;
  EXPECT_EQ(store.data_dir(), fs::Path("rel/"));
  auto created = store.create_dataset("a", "b");
  ASSERT_TRUE(created.has_value());
  EXPECT_EQ(created->dir_path(), fs::Path("rel/a/b"));
  ok(store.create_dataset("c", "d"));
  ok(created->close());
  auto again = store.create_dataset("a", "b");
  auto inspected = store.inspect_dataset("c", "d");
  ok(fs::create_dir_all(tmp / "rel" / "x" / "y"));
  auto no_identifier = store.open_dataset("x", "y");
  ok(store::write_identifier_file(tmp / "rel" / "x" / "y" / "identifier", 1));
  ok(store.create_dataset("e", "f"));
  ok(store.drop_dataset("e", "f"));  // its identifier 3 is free: no duplicate below
  ok(fs::create_dir_all(tmp / "rel" / "v" / "w"));
  ok(store::write_identifier_file(tmp / "rel" / "v" / "w" / "identifier", 3));
  auto no_meta = store.open_dataset("v", "w");
  ASSERT_EQ(::chdir(cwd.c_str()), 0);

  EXPECT_TRUE(fs::path_exists(tmp / "rel" / "a" / "b" / "meta"));
  EXPECT_FALSE(fs::path_exists(tmp / "elsewhere" / "rel"));
  EXPECT_EQ(err(again), Error::already_exists("dataset already exists at rel/a/b"));
  EXPECT_EQ(ok(inspected).info.base_dir, "rel/c/d");
  EXPECT_EQ(err(no_identifier), Error::not_found("dataset identifier not found at rel/x/y/identifier"));
  EXPECT_EQ(err(no_meta), Error::not_found("dataset meta not found at rel/v/w/meta"));
}

// A dataset whose writes allocate nothing once its segments exist (a continuous index, files
// made at their full size), so that memory running out during one meets the dirty queue alone.
DataSetConfigBuilder allocation_free_writes() {
  DataSetConfigBuilder o(false);
  o.data_segment_size = o.initial_data_segment_size = 1 << 20;
  o.index_segment_size = o.initial_index_segment_size = 1 << 16;
  o.set_index_continuous(true);
  return o;
}

// The first change of a segment after a flush reports it on the dirty queue; here that report
// finds no memory. The write still succeeds and nothing is poisoned; the next background flush
// synchronises what the queue could not name, and the store works on and flushes at close.
TEST(StoreMemory, ADirtyReportWithoutMemoryIsFlushedAllTheSame) {
  TempDir tmp;
  StoreConfig config = manual_config();
  config.flush_interval = {};  // every tick flushes
  const std::vector<std::uint8_t> data = testing::bytes("record");
  {
    auto s = ok(Store::open(tmp.path(), config));
    Dataset ds = ok(s->create_dataset("a", "b", allocation_free_writes()));
    ok(ds.write(0, data));
    ok(ds.flush());
    Status written;
    bool threw = false;
    std::uint64_t failed = 0;
    {
      testing::FailingAllocation fail;
      try {
        written = ds.write(1, data);
      } catch (const std::bad_alloc&) {
        threw = true;
      }
      failed = fail.failed();
    }
    ASSERT_GT(failed, 0u) << "the write reported nothing";
    EXPECT_FALSE(threw);
    ok(written);
    {
      testing::MsyncCounter syncs;
      ok(s->tick_background_tasks());
      EXPECT_GE(syncs.take(), 2u) << "the data and index segments the queue missed";
      ok(s->tick_background_tasks());
      EXPECT_EQ(syncs.take(), 0u) << "owed once";
    }
    ok(ds.write(2, data));
    ok(s->tick_background_tasks());
    ok(ds.write(3, data));
    ok(ds.close());
  }
  auto s = ok(Store::open(tmp.path(), config));
  Dataset ds = ok(s->open_dataset("a", "b"));
  for (std::int64_t ts = 0; ts <= 3; ++ts) EXPECT_EQ(ok(ds.read(ts))->second, data) << ts;
}

// A flush, and so a close, that finds no memory to take the dataset's targets off the dirty
// queue still synchronises everything of it, which those targets only name.
TEST(StoreMemory, AFlushWithoutMemoryStillSyncsTheDataset) {
  TempDir tmp;
  const std::vector<std::uint8_t> data = testing::bytes("record");
  auto s = ok(Store::open(tmp.path(), manual_config()));
  Dataset ds = ok(s->create_dataset("a", "b", allocation_free_writes()));
  ok(ds.write(0, data));
  ok(ds.flush());
  ok(ds.write(1, data));  // queues the data and index segments again
  testing::MsyncCounter syncs;
  Status flushed;
  bool threw = false;
  {
    testing::FailingAllocation fail;
    try {
      flushed = ds.flush();
    } catch (const std::bad_alloc&) {
      threw = true;
    }
  }
  EXPECT_FALSE(threw);
  ok(flushed);
  EXPECT_GE(syncs.take(), 2u);
  ok(ds.close());
}

// While alive, this process's address space cannot grow beyond what it uses now (plus
// `spare` bytes), so neither a new mapping nor the heap's growth can be had.
class AddressSpaceLimit {
 public:
  explicit AddressSpaceLimit(rlim_t spare) {
    ::getrlimit(RLIMIT_AS, &saved_);
    unsigned long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
      std::fclose(f);
    }
    rlimit lim = saved_;
    lim.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + spare;
    limited_ = pages != 0 && ::setrlimit(RLIMIT_AS, &lim) == 0;
  }
  ~AddressSpaceLimit() { ::setrlimit(RLIMIT_AS, &saved_); }
  AddressSpaceLimit(const AddressSpaceLimit&) = delete;
  AddressSpaceLimit& operator=(const AddressSpaceLimit&) = delete;

  bool limited() const { return limited_; }

 private:
  rlimit saved_{};
  bool limited_ = false;
};

// take() takes every block of heap memory this process can still have, largest first and
// then every small size, so that the next allocation fails whatever its size (memory freed
// since is taken by the next call); the destructor gives them back.
class HeldHeap {
 public:
  HeldHeap() { held_.reserve(1 << 20); }
  ~HeldHeap() {
    for (void* p : held_) std::free(p);
  }
  HeldHeap(const HeldHeap&) = delete;
  HeldHeap& operator=(const HeldHeap&) = delete;

  void take() {
    for (std::size_t size = 1 << 20; size > 1024; size /= 2) take(size);
    for (std::size_t size = 1024; size >= 8; size -= 8) take(size);
  }
  // Gives back n of the blocks, picked by the generator, so that the next allocations succeed
  // or fail by their sizes.
  template <class Random>
  void give_back(std::size_t n, Random& random) {
    for (; n > 0 && !held_.empty(); --n) {
      const std::size_t i = random() % held_.size();
      std::free(held_[i]);
      held_[i] = held_.back();
      held_.pop_back();
    }
  }

 private:
  void take(std::size_t size) {
    while (held_.size() < held_.capacity()) {
      void* p = std::malloc(size);
      if (p == nullptr) return;
      held_.push_back(p);
    }
  }

  std::vector<void*> held_;
};

// The child of the test below; its exit code says where it went wrong, 0 for nowhere. Its own
// bookkeeping is allocated beforehand, so that only the store meets the shortage.
int run_out_of_mappings(const fs::Path& root, unsigned seed) {
  const fs::Path dir = root / "store";
  constexpr std::size_t kRounds = 240, kSets = kRounds + 1;
  StoreConfig config = manual_config();
  config.flush_interval = {};
  config.data_segment_size = 8192;  // a roll-over, and so a new mapping, every few records
  config.initial_data_segment_size = 4096;
  std::vector<std::vector<char>> acknowledged(kSets, std::vector<char>(kRounds, 0));
  std::vector<Dataset> sets;
  sets.reserve(kSets);
  std::vector<std::uint8_t> data(1000);
  auto payload = [&](std::size_t set, std::size_t ts) -> const std::vector<std::uint8_t>& {
    std::fill(data.begin(), data.end(), static_cast<std::uint8_t>(set * 31 + ts));
    return data;
  };
  std::size_t next_ts = 0;
  std::uint64_t out_of_mappings = 0, out_of_memory = 0;
  bool internal = false;
  auto attempt = [&](auto&& op) {
    try {
      const Status st = op();
      if (!st && st.error().os_code() == ENOMEM) ++out_of_mappings;
      return st.has_value();
    } catch (const std::bad_alloc&) {
      ++out_of_memory;
    } catch (const InternalFailure&) {
      internal = true;
    }
    return false;
  };
  // A store with its background thread, whose stack is a mapping too.
  StoreConfig threaded;
  threaded.enable_journal = false;
  auto open_threaded = [&]() -> Status {
    auto t = Store::open(root / "threaded", threaded);
    if (!t) return fail(std::move(t).error());
    return {};
  };
  // One round of the workload: a write to every dataset, a new journalled dataset, a flush
  // tick. Failures are counted; with must_work, any failure ends the child.
  auto round = [&](Store& s, bool must_work) -> bool {
    bool all = true;
    const std::size_t ts = next_ts++;
    for (std::size_t i = 0; i < sets.size(); ++i) {
      const bool written = attempt([&] { return sets[i].write(static_cast<std::int64_t>(ts), payload(i, ts)); });
      acknowledged[i][ts] = written;
      all = all && written;
    }
    all = attempt([&]() -> Status {
            auto ds = s.create_dataset("d" + std::to_string(sets.size()), "t", DataSetConfigBuilder(true));
            if (!ds) return fail(std::move(ds).error());
            sets.push_back(std::move(*ds));
            return {};
          }) && all;
    all = attempt([&]() -> Status {
            auto tick = s.tick_background_tasks();
            if (!tick) return fail(std::move(tick).error());
            return {};
          }) && all;
    return all || !must_work;
  };

  {
    auto s = Store::open(dir, config);
    if (!s) return 10;
    for (int i = 0; i < 4; ++i)
      if (!round(**s, true)) return 11;
    {
      HeldHeap heap;
      HeldMappings mappings;
      if (!mappings.exhausted()) return 12;
      attempt(open_threaded);
      for (int i = 0; i < 10; ++i) round(**s, false);
      // Nor can the heap grow, and what it has left is taken: every allocation fails too.
      AddressSpaceLimit limit(0);
      if (!limit.limited()) return 12;
      std::minstd_rand random(seed);
      for (int i = 0; i < 200; ++i) {
        heap.take();
        heap.give_back(random() % 64, random);
        round(**s, false);
      }
    }
    if (out_of_mappings == 0 || out_of_memory == 0) return 13;
    for (int i = 0; i < 4; ++i)
      if (!round(**s, true)) return 14;
    if (!attempt(open_threaded)) return 14;
    for (Dataset& ds : sets)
      if (!ds.close()) return 15;
  }
  if (internal) return 16;
  auto s = Store::open(dir, config);
  if (!s) return 17;
  for (std::size_t i = 0; i < sets.size(); ++i) {
    auto ds = (*s)->open_dataset("d" + std::to_string(i), "t");
    if (!ds) return 18;
    for (std::size_t ts = 0; ts < next_ts; ++ts) {
      if (!acknowledged[i][ts]) continue;
      auto record = ds->read(static_cast<std::int64_t>(ts));
      if (!record || !*record || (*record)->second != payload(i, ts)) return 19;
    }
  }
  return 0;
}

// A child that runs out of mappings, as a store with about 21,800 written datasets does at the
// default vm.max_map_count, and then of heap memory too, each allocation failing or not by its
// size (a few seeds): what it does meanwhile works or fails cleanly, never as an internal
// failure or an abort; once the memory is back the store works again, a close keeps every
// write that succeeded, and the child exits normally.
TEST(StoreMemory, RunningOutOfMappingsFailsCleanlyAndTheStoreRecovers) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's allocator cannot work without mappings";
#endif
  for (unsigned seed : {1u, 4u, 6u, 7u}) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    TempDir tmp;
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int code = 0;
      try {
        code = run_out_of_mappings(tmp.path(), seed);
      } catch (...) {
        code = 20;
      }
      ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

}  // namespace
}  // namespace quelvane
