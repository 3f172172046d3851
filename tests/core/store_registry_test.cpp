// The store's dataset operations: each one's checks in their order and with their texts, the
// identifiers they give out and record, the registry they keep, the journal records of create
// and drop, and a store killed in the middle of create or drop.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "queue/mod.h"
#include "store/store.h"
#include "support/dataset_fixture.h"
#include "support/file_faults.h"
#include "support/msync_counter.h"
#include "support/temp_dir.h"

namespace quelvane {
namespace {

using testing::err;
using testing::ok;
using testing::TempDir;

StoreConfig small_store(ReadOnlyMode read_only = std::nullopt) {
  StoreConfig c;
  c.enable_background_thread = false;
  c.read_only = read_only;
  c.data_segment_size = 1 << 20;
  c.initial_data_segment_size = 16 << 10;
  c.index_segment_size = 4096;
  c.initial_index_segment_size = 1024;
  return c;
}

std::string read_text(const fs::Path& p) {
  auto b = ok(fs::read_file(p));
  return {b.begin(), b.end()};
}

std::span<const std::uint8_t> payload(std::string_view s) { return bytes::as_bytes(s); }

const std::string kBadName = "dataset name, must match ^[0-9A-Za-z_-]+$ and be at most 255 bytes";
const std::string kBadType = "dataset type, must match ^[0-9A-Za-z_-]+$ and be at most 255 bytes";

class StoreRegistry : public ::testing::Test {
 protected:
  TempDir tmp;
  std::unique_ptr<Store> store = ok(Store::open(tmp.path(), small_store()));

  fs::Path dir(const std::string& name, const std::string& type) const { return tmp / name / type; }
  void reopen(ReadOnlyMode read_only = std::nullopt) {
    store.reset();
    store = ok(Store::open(tmp.path(), small_store(read_only)));
  }
  // A dataset directory made behind the store's back, holding the given identifier text.
  void plant(const std::string& name, const std::string& type, std::uint64_t id) {
    {
      Dataset ds = ok(Dataset::create({name, type}, dir(name, type), testing::small_config()));
      ok(ds.close());
    }
    ok(store::write_identifier_file(dir(name, type) / "identifier", id));
  }
};

TEST_F(StoreRegistry, IdentifiersAreGivenOutOnceAndSurviveReopening) {
  EXPECT_EQ(ok(store->create_dataset("a", "b")).identifier(), 1u);
  EXPECT_EQ(ok(store->create_dataset("c", "d")).identifier(), 2u);
  EXPECT_EQ(read_text(tmp / "max_identifier"), "2");
  EXPECT_EQ(read_text(dir("a", "b") / "identifier"), "1");
  reopen();
  EXPECT_EQ(store->max_identifier(), 2u);
  ok(store->drop_dataset("c", "d"));
  EXPECT_EQ(ok(store->create_dataset("c", "d")).identifier(), 3u);

  // Options that fail to build use nothing up; a failure after max_identifier was written does.
  DataSetConfigBuilder bad(false);
  bad.compress_type = 7;
  EXPECT_EQ(err(store->create_dataset("e", "f", bad)).kind(), ErrorKind::InvalidData);
  EXPECT_EQ(store->max_identifier(), 3u);
  ok(fs::create_dir_all(tmp / "g"));
  ok(fs::write_file(tmp / "g" / "h", {}));  // the dataset directory cannot be made
  EXPECT_EQ(err(store->create_dataset("g", "h")).kind(), ErrorKind::Io);
  EXPECT_EQ(read_text(tmp / "max_identifier"), "4");
  EXPECT_EQ(ok(store->create_dataset("e", "f")).identifier(), 5u);
}

TEST_F(StoreRegistry, CreateChecksInOrder) {
  const std::string long_name(255, 'n');
  ok(store->create_dataset(long_name, "t"));
  ok(store->create_dataset("open", "t"));
  plant("closed", "t", 99);  // exists on disk, not open

  struct Case {
    std::string name, type;
    Error error;
  };
  const std::vector<Case> cases = {
      {".journal", "logs", Error::invalid_data("journal dataset is reserved")},
      {"", "t", Error::invalid_data(kBadName)},
      {std::string(256, 'n'), "t", Error::invalid_data(kBadName)},
      {"a.b", "t", Error::invalid_data(kBadName)},
      {"a/b", "t", Error::invalid_data(kBadName)},
      {"\xC3\xA9", "t", Error::invalid_data(kBadName)},
      {"bad name", "bad type", Error::invalid_data(kBadName)},
      {"n", "", Error::invalid_data(kBadType)},
      {"n", "x.tmp", Error::invalid_data(kBadType)},
      {"open", "t", Error::already_exists("dataset open/t is already open")},
      {"closed", "t", Error::already_exists("dataset already exists at " + dir("closed", "t").string())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + "/" + c.type);
    EXPECT_EQ(err(store->create_dataset(c.name, c.type)), c.error);
  }
  EXPECT_EQ(store->max_identifier(), 2u);

  reopen(true);
  for (const char* name : {".journal", "bad.name", "n"})
    EXPECT_EQ(err(store->create_dataset(name, "logs")), Error::invalid_data("read-only store cannot create dataset"));
}

TEST_F(StoreRegistry, OpenChecksInOrder) {
  Dataset ab = ok(store->create_dataset("a", "b"));
  ok(store->create_dataset("c", "d"));
  ok(store->drop_dataset("c", "d"));  // 2 is given out but recorded nowhere now
  plant("dup", "x", 1);               // the identifier of a/b
  ok(fs::create_dir_all(dir("nometa", "x")));
  ok(store::write_identifier_file(dir("nometa", "x") / "identifier", 2));
  ok(fs::create_dir_all(dir("missing", "x")));

  struct Case {
    std::string name, type;
    Error error;
  };
  const std::vector<Case> cases = {
      {".journal", "logs", Error::not_found("journal is not exposed as a dataset handle")},
      {"a.b", "t", Error::invalid_data(kBadName)},
      {"n", "t/u", Error::invalid_data(kBadType)},
      {"missing", "x",
       Error::not_found("dataset identifier not found at " + (dir("missing", "x") / "identifier").string())},
      {"dup", "x",
       Error::invalid_data("duplicate dataset identifier 1: DataSetKey { name: \"a\", dataset_type: \"b\" } and "
                           "DataSetKey { name: \"dup\", dataset_type: \"x\" }")},
      // The identifier is read before meta.
      {"nometa", "x", Error::not_found("dataset meta not found at " + (dir("nometa", "x") / "meta").string())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + "/" + c.type);
    EXPECT_EQ(err(store->open_dataset(c.name, c.type)), c.error);
  }
  // A registered key is returned at once, without looking at its files again.
  ok(fs::remove_file(dir("a", "b") / "identifier"));
  EXPECT_TRUE(ok(store->open_dataset("a", "b")).same_as(ab));
}

TEST_F(StoreRegistry, OpenByIdentifier) {
  plant("b", "x", 2);
  plant("a", "x", 1);
  plant("c", "x", 2);
  ok(store::write_max_identifier(tmp.path(), 2));
  reopen();
  EXPECT_EQ(err(store->open_dataset_by_identifier(0)), Error::invalid_data("dataset identifier must be > 0"));
  EXPECT_EQ(err(store->open_dataset_by_identifier(7)), Error::not_found("dataset identifier 7"));
  // Found by scan, recorded and opened.
  Dataset a = ok(store->open_dataset_by_identifier(1));
  EXPECT_TRUE(ok(store->open_dataset("a", "x")).same_as(a));
  // Two directories holding it are named in sorted order.
  EXPECT_EQ(err(store->open_dataset_by_identifier(2)),
            Error::invalid_data("duplicate dataset identifier 2: DataSetKey { name: \"b\", dataset_type: \"x\" } and "
                                "DataSetKey { name: \"c\", dataset_type: \"x\" }"));
  // In a read-only store, an identifier above max_identifier anywhere in the walk ends it, even
  // for another one.
  plant("0", "x", 9);
  reopen(true);
  EXPECT_EQ(err(store->open_dataset_by_identifier(7)),
            Error::invalid_data("dataset DataSetKey { name: \"0\", dataset_type: \"x\" } identifier 9 exceeds "
                                "authoritative max_identifier 2"));
  // Without meta, a directory is not looked at.
  ok(fs::remove_file(dir("0", "x") / "meta"));
  EXPECT_EQ(err(store->open_dataset_by_identifier(7)), Error::not_found("dataset identifier 7"));
}

// A max_identifier behind a dataset on disk (written so by an older writer and a power loss) is
// raised by a writable store's open of that dataset, so its records stay reachable and no create
// hands its identifier out again; a read-only store, which cannot mend it, refuses as before.
TEST_F(StoreRegistry, AMaxIdentifierBehindADatasetIsRaisedByAWritableOpen) {
  ok(store->create_dataset("a", "x"));
  plant("high", "x", 50);
  ok(store::write_max_identifier(tmp.path(), 1));
  reopen(true);
  EXPECT_EQ(err(store->open_dataset("high", "x")),
            Error::invalid_data("dataset DataSetKey { name: \"high\", dataset_type: \"x\" } identifier 50 exceeds "
                                "authoritative max_identifier 1"));
  EXPECT_EQ(ok(store::read_max_identifier(tmp.path())), 1u);

  reopen();
  EXPECT_EQ(ok(store->open_dataset("high", "x")).identifier(), 50u);
  EXPECT_EQ(store->max_identifier(), 50u);
  EXPECT_EQ(ok(store->create_dataset("b", "x")).identifier(), 51u);
  reopen();
  EXPECT_EQ(ok(store::read_max_identifier(tmp.path())), 51u);
  EXPECT_EQ(ok(store->open_dataset("high", "x")).identifier(), 50u);
}

TEST_F(StoreRegistry, DropRemovesTheDirectoryAndNeverFollowsLinks) {
  ok(store->create_dataset("a", "x"));
  ok(store->create_dataset("a", "y"));
  ok(store->create_dataset("b", "x"));
  // Outside files reachable through links inside the dataset tree must survive the drop.
  ok(fs::create_dir_all(tmp / "outside"));
  ok(fs::write_file(tmp / "outside" / "keep", payload("k")));
  ASSERT_EQ(::symlink((tmp / "outside").c_str(), (dir("b", "x") / "data" / "link").c_str()), 0);

  ok(store->drop_dataset("b", "x"));
  EXPECT_FALSE(fs::path_exists(dir("b", "x")));
  EXPECT_TRUE(fs::path_exists(tmp / "b"));
  EXPECT_TRUE(fs::path_exists(tmp / "outside" / "keep"));
  EXPECT_EQ(ok(store->get_dataset_names()), (std::vector<std::string>{"a"}));
  EXPECT_EQ(ok(store->get_dataset_types("a")), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(err(store->get_dataset_types("a.b")), Error::invalid_data(kBadName));
  EXPECT_EQ(err(store->open_dataset_by_identifier(3)), Error::not_found("dataset identifier 3"));

  // A dataset that is not open is opened to be dropped; a directory that holds no whole dataset
  // (no identifier, or no meta) is dropped all the same; a name that holds nothing is not found.
  reopen();
  ok(store->drop_dataset("a", "y"));
  ok(fs::remove_file(dir("a", "x") / "identifier"));
  ok(store->drop_dataset("a", "x"));
  EXPECT_FALSE(fs::path_exists(dir("a", "x")));
  EXPECT_EQ(err(store->drop_dataset("a", "x")).kind(), ErrorKind::NotFound);
  EXPECT_EQ(err(store->drop_dataset(".journal", "logs")), Error::invalid_data("journal dataset is reserved"));
  reopen(true);
  EXPECT_EQ(err(store->drop_dataset(".journal", "logs")), Error::invalid_data("read-only store cannot drop dataset"));
}

// Listing one name's types reads that name's directory alone, and gives what the full scan
// lists under the name, in every awkward layout: staging leftovers, a type without meta, links,
// entries that are no type directory, a name that is missing or no directory, a data directory
// that is missing; on a read-only store as on a writable one, which also sweeps the staging
// leftovers of the name it lists, and only those.
TEST_F(StoreRegistry, TypesOfOneNameAreWhatTheFullScanListsUnderIt) {
  ok(store->create_dataset("a", "x"));
  ok(store->create_dataset("a", "B"));  // sorted as bytes: before "x" and before "c"
  ok(fs::create_dir_all(dir("a", "c") / "data"));  // no meta, no identifier
  ok(fs::create_dir_all(tmp / "outside" / "t"));
  ASSERT_EQ(::symlink((tmp / "outside").c_str(), dir("a", "linked").c_str()), 0);
  ASSERT_EQ(::symlink((tmp / "nowhere").c_str(), dir("a", "dangling").c_str()), 0);
  ok(fs::write_file(dir("a", "file"), payload("f")));
  ok(fs::create_dir_all(dir("a", "bad.type")));
  ok(fs::write_file(tmp / "f", payload("f")));
  ASSERT_EQ(::symlink((tmp / "outside").c_str(), (tmp / "l").c_str()), 0);
  ok(fs::create_dir_all(tmp / "e"));
  auto leave_leftovers = [&] {
    for (const char* name : {"a", "b"})
      for (const char* staged : {store::kCreatingName, store::kDroppingName}) {
        ok(fs::create_dir_all(tmp / name / staged / "data"));
        ok(fs::write_file(tmp / name / staged / "meta", payload("m")));
      }
  };
  auto leftovers_of = [&](const char* name) {
    return fs::path_exists(tmp / name / store::kCreatingName) + fs::path_exists(tmp / name / store::kDroppingName);
  };

  for (const bool read_only : {true, false}) {
    SCOPED_TRACE(read_only ? "read-only" : "writable");
    reopen(read_only);
    leave_leftovers();
    for (const char* name : {"a", "b", "f", "l", "e", "missing"}) {
      SCOPED_TRACE(name);
      std::vector<std::string> scanned;
      for (const store::ScannedDataset& d : ok(store::scan_datasets(tmp.path())))
        if (d.name == name) scanned.push_back(d.dataset_type);
      EXPECT_EQ(ok(store->get_dataset_types(name)), scanned);
    }
    EXPECT_EQ(ok(store->get_dataset_types("a")), (std::vector<std::string>{"B", "c", "linked", "x"}));
    EXPECT_EQ(leftovers_of("a"), read_only ? 2 : 0);
    EXPECT_EQ(leftovers_of("b"), read_only ? 2 : 0);  // "b" was listed too
    // A listing of another name leaves this one's leftovers to their own listing or a full scan.
    leave_leftovers();
    ok(store->get_dataset_types("a"));
    EXPECT_EQ(leftovers_of("b"), 2);
  }

  store.reset();
  auto missing = ok(Store::open(tmp / "missing", small_store(true)));
  EXPECT_EQ(err(missing->get_dataset_types("a")), err(store::scan_datasets(tmp / "missing")));
}

// A dataset whose data/ went missing (an older drop cut short removed it first) makes it again
// on its first segment instead of refusing every write.
TEST_F(StoreRegistry, ADatasetWithoutItsDataDirectoryMakesItAgain) {
  ok(ok(store->create_dataset("a", "b")).close());
  ok(fs::remove_tree(dir("a", "b") / "data"));
  Dataset ds = ok(store->open_dataset("a", "b"));
  ok(ds.write(1, payload("one")));
  EXPECT_EQ(ok(ds.read(1))->second, testing::bytes("one"));
  ok(ds.close());
  EXPECT_EQ(ok(ok(store->open_dataset("a", "b")).read(1))->second, testing::bytes("one"));
}

TEST_F(StoreRegistry, InspectOpensRegistersAndChecksIdentifiers) {
  plant("a", "x", 1);
  plant("b", "x", 1);  // the same identifier: never open beside a/x, whose cached blocks it would share
  plant("c", "x", 2);
  ok(store::write_max_identifier(tmp.path(), 2));
  reopen();
  EXPECT_EQ(ok(store->inspect_dataset("a", "x")).info.identifier, 1u);
  EXPECT_EQ(err(store->inspect_dataset("b", "x")),
            Error::invalid_data("duplicate dataset identifier 1: DataSetKey { name: \"a\", dataset_type: \"x\" } and "
                                "DataSetKey { name: \"b\", dataset_type: \"x\" }"));
  EXPECT_EQ(err(store->open_dataset("b", "x")).kind(), ErrorKind::InvalidData);
  EXPECT_EQ(err(store->inspect_dataset(".journal", "logs")), Error::invalid_data(kBadName));
  // Registered: a later open returns the inspected dataset without looking at its files again.
  ok(store->inspect_dataset("c", "x"));
  ok(fs::remove_file(dir("c", "x") / "identifier"));
  EXPECT_EQ(ok(store->open_dataset("c", "x")).identifier(), 2u);
}

TEST_F(StoreRegistry, ClosingLeavesTheRegistry) {
  Dataset ds = ok(store->create_dataset("a", "b"));
  ok(ds.close());
  EXPECT_EQ(err(store->create_dataset("a", "b")),
            Error::already_exists("dataset already exists at " + dir("a", "b").string()));
  Dataset again = ok(store->open_dataset("a", "b"));
  EXPECT_FALSE(again.same_as(ds));
  ok(again.write(1, payload("x")));
  // The callback outlives the store harmlessly.
  store.reset();
  ok(again.close());
}

// A handle of a dataset since dropped and made again, closed late, leaves its successor's
// entry alone: the next open hands out the successor's handle instead of mapping its files a
// second time. Read-only, the store follows the writer beside it; writable, the late close is the
// second close of the handle the drop closed.
TEST_F(StoreRegistry, ClosingAnEarlierGenerationLeavesItsSuccessorRegistered) {
  auto reader = ok(Store::open(tmp.path(), small_store()));  // the lock is held: read-only
  ASSERT_TRUE(reader->read_only());
  ok(store->create_dataset("a", "b"));
  for (Store* follower : {reader.get(), store.get()}) {
    SCOPED_TRACE(follower->read_only() ? "read-only store" : "writable store");
    Dataset old = ok(follower->open_dataset("a", "b"));
    ok(store->drop_dataset("a", "b"));
    ok(store->create_dataset("a", "b"));
    Dataset now = ok(follower->open_dataset("a", "b"));
    ASSERT_FALSE(now.same_as(old));
    ok(old.close());
    EXPECT_TRUE(ok(follower->open_dataset("a", "b")).same_as(now));
  }
}

TEST_F(StoreRegistry, ReadOnlyStoreSeesDatasetsALiveWriterCreates) {
  auto reader = ok(Store::open(tmp.path(), small_store()));  // the lock is held: read-only
  ASSERT_TRUE(reader->read_only());
  Dataset w = ok(store->create_dataset("a", "b"));
  ok(w.write(5, payload("five")));
  ok(w.flush());
  Dataset r = ok(reader->open_dataset("a", "b"));
  EXPECT_EQ(ok(r.read(5))->second, std::vector<std::uint8_t>({'f', 'i', 'v', 'e'}));
  EXPECT_EQ(err(r.write(6, payload("x"))).kind(), ErrorKind::InvalidData);
  EXPECT_EQ(reader->max_identifier(), 1u);
  EXPECT_EQ(err(reader->open_journal_queue()), Error::invalid_data("read-only store cannot open journal queue"));
}

// The data directory whose next listing stands for the moment a writer elsewhere drops its
// dataset: the dataset's directory is taken off its name (the drop's first step) right then.
fs::Path dropped_at_listing;
void drop_during_listing(const fs::Path& dir, std::vector<std::string>&) {
  if (dropped_at_listing.empty() || dir.string() != dropped_at_listing.string()) return;
  const fs::Path dataset_dir = dir.parent_path();
  ASSERT_TRUE(fs::rename(dataset_dir, dataset_dir.parent_path() / "gone"));
  dropped_at_listing = fs::Path();
}

// A read-only open that a drop interrupts reads as the drop, not as the I/O error of a file
// that vanished under it ("No such file or directory").
TEST_F(StoreRegistry, ReadOnlyOpenThatADropInterruptsReadsAsDropped) {
  const auto error_of = [](const auto& result) { return result ? std::optional<Error>() : result.error(); };
  struct Call {
    const char* what;
    std::function<std::optional<Error>(Store&)> call;
  };
  const std::vector<Call> calls = {
      {"open_dataset", [&](Store& s) { return error_of(s.open_dataset("a", "b")); }},
      {"inspect_dataset", [&](Store& s) { return error_of(s.inspect_dataset("a", "b")); }},
  };
  for (const Call& c : calls) {
    SCOPED_TRACE(c.what);
    reopen();
    ok(fs::remove_tree(tmp / "a"));
    Dataset w = ok(store->create_dataset("a", "b"));
    ok(w.write(1, payload("one")));
    ok(w.flush());
    auto reader = ok(Store::open(tmp.path(), small_store(true)));
    dropped_at_listing = dir("a", "b") / "data";
    fs::set_listing_filter(drop_during_listing);
    const std::optional<Error> failed = c.call(*reader);
    fs::set_listing_filter(nullptr);
    ASSERT_TRUE(dropped_at_listing.empty()) << "the open never listed the data directory";
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(failed->kind(), ErrorKind::NotFound) << failed->display();
  }
}

// A read-only store writes nothing, so its close (and its datasets' release) syncs nothing:
// each data segment it had mapped used to be synchronised.
TEST_F(StoreRegistry, ReadOnlyStoreClosesWithoutASync) {
  static constexpr int kDatasets = 3;
  for (int i = 0; i < kDatasets; ++i) {
    Dataset w = ok(store->create_dataset("a", "t" + std::to_string(i)));
    ok(w.write(1, payload("one")));
    ok(w.flush());
  }
  auto reader = ok(Store::open(tmp.path(), small_store(true)));
  for (int i = 0; i < kDatasets; ++i)
    EXPECT_TRUE(ok(ok(reader->open_dataset("a", "t" + std::to_string(i))).read(1)).has_value());
  testing::MsyncCounter msyncs;
  reader.reset();
  EXPECT_EQ(msyncs.take(), 0u);
}

TEST_F(StoreRegistry, JournalRecordsCreateAndDrop) {
  DataSetConfigBuilder journalled(true);
  journalled.data_segment_size = 1 << 20;
  journalled.initial_data_segment_size = 16 << 10;
  const Dataset ds = ok(store->create_dataset("a", "b", journalled));
  const auto metadata = ok(meta::read_meta_payload(dir("a", "b") / "meta"));
  ASSERT_EQ(metadata.size(), 82u);
  ok(store->create_dataset("plain", "b"));  // not journalled: no record
  ok(store->drop_dataset("a", "b"));
  const auto records = ok(store->journal_query(1, 10));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].second, ok(journal::record::encode(JournalEntry::create_dataset(1, {"a", "b"}, metadata))));
  EXPECT_EQ(records[1].second, ok(journal::record::encode(JournalEntry::drop_dataset(1, {"a", "b"}, metadata))));
  EXPECT_EQ(records[0].second.size(), 96u);

  // With the store's journal off, a journalled dataset writes no record.
  TempDir off;
  StoreConfig c = small_store();
  c.enable_journal = false;
  auto s = ok(Store::open(off.path(), c));
  ok(s->create_dataset("a", "b", journalled));
  ok(s->drop_dataset("a", "b"));
  EXPECT_FALSE(fs::path_exists(off / ".journal"));
}

// A journal record's kind and, for the changes of records, its timestamp.
std::pair<JournalEntry::Kind, std::int64_t> kind_and_timestamp(const std::vector<std::uint8_t>& record) {
  const auto kind = static_cast<JournalEntry::Kind>(record.at(0));
  if (kind == JournalEntry::Kind::CreateDataset || kind == JournalEntry::Kind::DropDataset) return {kind, 0};
  const std::size_t width = std::size_t{1} << (record.at(1) - 1);
  return {kind, bytes::get<std::int64_t>(record, 2 + width + 1)};
}

// A journalled change whose record the journal cannot take (its segment cannot grow: the
// file size limit stands in for a full disk) is refused before anything changes: the
// dataset, the store's list and the journal stay as they were. Once the room is back the same
// call succeeds, and the journal holds every change that was stored, one for one.
TEST_F(StoreRegistry, AChangeTheJournalCannotTakeIsNotMade) {
  DataSetConfigBuilder preallocated(true);
  preallocated.data_segment_size = preallocated.initial_data_segment_size = 64 << 10;
  preallocated.index_segment_size = preallocated.initial_index_segment_size = 16 << 10;
  struct Case {
    const char* what;
    std::function<Status(Store&, Dataset&, DatasetQueue&)> change;
  };
  const Case cases[] = {
      {"write", [](Store&, Dataset& d, DatasetQueue&) { return d.write(100000, payload("w")); }},
      {"append", [](Store&, Dataset& d, DatasetQueue&) { return d.append(*d.latest_timestamp(), payload("a")); }},
      {"delete", [](Store&, Dataset& d, DatasetQueue&) { return d.delete_record(2); }},
      {"push", [](Store&, Dataset&, DatasetQueue& queue) -> Status {
         QV_TRY(queue.push(payload("p")));
         return {};
       }},
      {"create", [&](Store& s, Dataset&, DatasetQueue&) -> Status {
         QV_TRY(s.create_dataset("fresh", "t", preallocated));
         return {};
       }},
      {"drop", [](Store& s, Dataset&, DatasetQueue&) { return s.drop_dataset("victim", "t"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir data;
    StoreConfig config = small_store();
    config.initial_data_segment_size = 4096;  // the journal's first segment: 4 KiB, growing to 1 MiB
    auto s = ok(Store::open(data.path(), config));
    Dataset d = ok(s->create_dataset("d", "t", preallocated));
    ok(s->create_dataset("victim", "t", preallocated));
    for (std::int64_t ts = 1; ts <= 3; ++ts) ok(d.write(ts, payload("r")));
    DatasetQueue queue = ok(DatasetQueue::open(d));

    struct Snapshot {
      DataSetState dataset;
      std::vector<RecordData> records;
      std::vector<std::string> types;
      std::vector<JournalRecordData> journal;
    };
    auto snapshot = [&] {
      return Snapshot{ok(d.inspect()).state, ok(d.query_all(0, 1 << 30)), ok(s->get_dataset_types("d")),
                      ok(s->journal_query(1, 1 << 30))};
    };
    const fs::Path segment = data / ".journal" / "logs" / "data" / "00000000000000000001";
    {
      struct stat st {};
      ASSERT_EQ(::stat(segment.c_str(), &st), 0);
      testing::FileSizeLimit full(static_cast<rlim_t>(st.st_size));
      // Writes until the journal has no room for a record as long as any of the cases'.
      std::int64_t ts = 4;
      while (d.write(ts, payload("f")) && ts < 10000) ++ts;
      ASSERT_LT(ts, 10000) << "the journal never filled";
      const Snapshot before = snapshot();
      const auto names_before = ok(s->get_dataset_names());
      const Status refused = c.change(*s, d, queue);
      ASSERT_FALSE(refused);
      EXPECT_EQ(refused.error().os_code(), EFBIG) << refused.error().display();
      const Snapshot after = snapshot();
      EXPECT_EQ(after.dataset, before.dataset);
      EXPECT_EQ(after.records.size(), before.records.size());
      EXPECT_EQ(after.records, before.records);
      EXPECT_EQ(after.types, before.types);
      EXPECT_EQ(after.journal.size(), before.journal.size());
      EXPECT_EQ(after.journal, before.journal);
      EXPECT_EQ(ok(s->get_dataset_names()), names_before);
    }
    ok(c.change(*s, d, queue));

    // One record per change: the timestamps the journal's write records name, less those its
    // delete records name, are the dataset's records; create and drop records name the store's.
    std::set<std::int64_t> journalled;
    int created = 0, dropped = 0;
    for (const auto& [sequence, record] : ok(s->journal_query(1, 1 << 30))) {
      const auto [kind, ts] = kind_and_timestamp(record);
      if (kind == JournalEntry::Kind::CreateDataset) ++created;
      if (kind == JournalEntry::Kind::DropDataset) ++dropped;
      if (kind == JournalEntry::Kind::Write || kind == JournalEntry::Kind::Append) journalled.insert(ts);
      if (kind == JournalEntry::Kind::Delete) journalled.erase(ts);
    }
    std::set<std::int64_t> stored;
    for (const auto& [ts, bytes] : ok(d.query_all(0, 1 << 30))) stored.insert(ts);
    EXPECT_EQ(journalled, stored);
    EXPECT_EQ(created - dropped, static_cast<int>(ok(s->get_dataset_names()).size()));
  }
}

// The child of a replay stops itself after this many steps, as a kill there would.
int steps_left = 0;
void stop_here(std::string_view) {
  if (--steps_left == 0) ::_exit(3);
}

// Every instant of a create or a drop as a kill leaves it: a child runs the operation and stops
// after its k-th step, for every k. The name must then hold a whole dataset, which opens,
// inspects, takes a write and can be dropped, or nothing a listing shows; either way the
// pattern "open the type when it is listed, else create it" works, and a create after it gets
// an identifier nobody had.
TEST_F(StoreRegistry, EveryInstantOfCreateAndDropLeavesAWholeDatasetOrNothing) {
  store.reset();
  struct Case {
    std::string label;
    std::function<void(Store&, const fs::Path&)> setup;  // in the parent, before the child runs op
    std::function<Status(Store&)> op;
    bool leftover = false;  // the name starts out holding a directory that is no whole dataset
  };
  auto create = [](Store& s) -> Status {
    if (auto ds = s.create_dataset("c", "t"); !ds) return fail(std::move(ds).error());
    return {};
  };
  auto drop = [](Store& s) { return s.drop_dataset("c", "t"); };
  auto with_records = [](Store& s, const fs::Path&) {
    Dataset ds = ok(s.create_dataset("c", "t"));
    for (int ts = 1; ts <= 40; ++ts) ok(ds.write(ts, payload(std::string(300, 'r'))));
  };
  auto leftover = [&](const char* missing) {
    return [&, missing](Store& s, const fs::Path& root) {
      with_records(s, root);
      ok(s.create_dataset("c", "other"));  // a sibling that must stay
      ok(fs::remove_file(root / "c" / "t" / missing));
    };
  };
  const std::vector<Case> cases = {
      {"create", [](Store&, const fs::Path&) {}, create},
      {"create beside another type", [](Store& s, const fs::Path&) { ok(s.create_dataset("c", "other")); }, create},
      {"drop", with_records, drop},
      {"drop without meta", leftover("meta"), drop, true},
      {"drop without identifier", leftover("identifier"), drop, true},
      {"create over a directory without meta", leftover("meta"), create, true},
  };
  for (const Case& c : cases) {
    for (int stop_after = 1;; ++stop_after) {
      SCOPED_TRACE(c.label + ", stopped after step " + std::to_string(stop_after));
      TempDir dir;
      std::uint64_t given_before = 0;
      {
        auto s = ok(Store::open(dir.path(), small_store(false)));
        c.setup(*s, dir.path());
        given_before = s->max_identifier();
      }
      const pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        auto s = Store::open(dir.path(), small_store(false));
        if (!s) ::_exit(1);
        steps_left = stop_after;
        store::set_step_observer(stop_here);
        ::_exit(c.op(**s) ? 0 : 2);
      }
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      ASSERT_TRUE(WIFEXITED(status));
      const int code = WEXITSTATUS(status);
      ASSERT_TRUE(code == 0 || code == 3) << "child ended with " << code;

      auto s = ok(Store::open(dir.path(), small_store(false)));
      const std::vector<std::string> types = ok(s->get_dataset_types("c"));
      EXPECT_FALSE(fs::path_exists(dir / "c" / store::kCreatingName));  // swept by the listing
      EXPECT_FALSE(fs::path_exists(dir / "c" / store::kDroppingName));
      if (std::find(types.begin(), types.end(), "t") != types.end()) {
        const fs::Path t = dir / "c" / "t";
        if (fs::path_exists(t / "meta") && fs::path_exists(t / "identifier")) {
          Dataset ds = ok(s->open_dataset("c", "t"));
          ok(s->inspect_dataset("c", "t"));
          ok(ds.write(1000, payload("after the stop")));
        } else {
          EXPECT_TRUE(c.leftover) << "listed, but no whole dataset";
        }
        ok(s->drop_dataset("c", "t"));
        std::vector<std::string> rest = types;
        std::erase(rest, "t");
        EXPECT_EQ(ok(s->get_dataset_types("c")), rest);
      }
      const std::uint64_t given = s->max_identifier();
      EXPECT_GE(given, given_before);
      EXPECT_EQ(ok(s->create_dataset("c", "t")).identifier(), given + 1);
      ok(s->open_dataset("c", "t"));
      if (code == 0) break;  // the operation ran to its end: every step has been stopped at
    }
  }
}

// A child creates and drops datasets until it is killed at a random instant; the store must
// open again, and each name hold a whole dataset or nothing a listing shows.
TEST_F(StoreRegistry, KilledDuringCreateAndDrop) {
  store.reset();
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto s = Store::open(tmp.path(), small_store(false));
      if (!s) ::_exit(1);
      for (int i = 0;; ++i) {
        const std::string name = "k" + std::to_string(round) + "_" + std::to_string(i % 4);
        if (!(*s)->create_dataset(name, "t")) (void)(*s)->drop_dataset(name, "t");
      }
    }
    ::usleep(20'000 + round * 7'000);
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));

    // Every listed dataset is whole: it opens and takes a write; each name not listed creates.
    auto s = ok(Store::open(tmp.path(), small_store(false)));
    for (int i = 0; i < 4; ++i) {
      const std::string name = "k" + std::to_string(round) + "_" + std::to_string(i);
      SCOPED_TRACE(name);
      const bool listed = !ok(s->get_dataset_types(name)).empty();
      Dataset ds = listed ? ok(s->open_dataset(name, "t")) : ok(s->create_dataset(name, "t"));
      ok(ds.write(round + 1, payload("after a kill")));
    }
  }
}

// A read-only store's handle opened before the writer dropped the dataset and created it again
// under the same name: it reads its own generation's records, or reads them as gone, and never
// reaches the successor's files, whose paths are the same. The store itself follows the name to
// the new dataset. The writer runs in a child process, and beside the reader in this one.
TEST_F(StoreRegistry, ReadOnlyHandleKeepsItsGenerationAcrossDropAndCreate) {
  static constexpr int kRecords = 29;
  const auto record = [](int generation, int ts) {
    return std::vector<std::uint8_t>(3000, static_cast<std::uint8_t>(generation * 64 + ts));
  };
  const auto fill = [&](Store& s, int generation, int records) {
    Dataset ds = ok(s.create_dataset("a", "b"));
    for (int ts = 1; ts <= records; ++ts) ok(ds.write(ts, record(generation, ts)));
    ok(ds.flush());
    return ds.identifier();
  };
  const auto replace = [&](Store& s, int records) {
    ok(s.drop_dataset("a", "b"));
    return fill(s, 2, records);
  };
  struct Touch {
    const char* label;
    std::function<void(Dataset&)> touch;
  };
  const std::vector<Touch> touches = {
      {"untouched", [](Dataset&) {}},
      {"latest_timestamp", [](Dataset& ds) { EXPECT_EQ(ds.latest_timestamp(), kRecords); }},
      {"read_exist", [](Dataset& ds) { EXPECT_TRUE(ok(ds.read_exist(25))); }},
      {"query_exist", [](Dataset& ds) { EXPECT_EQ(ok(ds.query_exist(1, kRecords)).size(), 4u); }},
      {"read", [&](Dataset& ds) { EXPECT_EQ(ok(ds.read(25))->second, record(1, 25)); }},
  };
  int wrong = 0;
  for (const bool in_child : {true, false}) {
    for (const Touch& t : touches) {
      for (const int recreated : {0, 10, 25}) {
        SCOPED_TRACE(std::string(in_child ? "writer in a child, " : "writer beside, ") + t.label + ", " +
                     std::to_string(recreated) + " records re-created");
        TempDir root;
        auto writer = ok(Store::open(root.path(), small_store(false)));
        const std::uint64_t old_id = fill(*writer, 1, kRecords);
        if (in_child) writer.reset();
        auto reader = ok(Store::open(root.path(), small_store(true)));
        Dataset old = ok(reader->open_dataset("a", "b"));
        t.touch(old);

        std::uint64_t new_id = 0;
        if (in_child) {
          const pid_t pid = ::fork();
          ASSERT_GE(pid, 0);
          if (pid == 0) {
            auto s = Store::open(root.path(), small_store(false));
            if (!s) ::_exit(1);
            (void)replace(**s, recreated);
            ::_exit(0);
          }
          int status = 0;
          ASSERT_EQ(::waitpid(pid, &status, 0), pid);
          ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
          new_id = old_id + 1;
        } else {
          new_id = replace(*writer, recreated);
        }

        int case_wrong = 0;
        for (int ts = 1; ts <= kRecords; ++ts) {
          auto got = old.read(ts);
          const bool fine = got ? (!*got || (*got)->second == record(1, ts))
                                : got.error().kind() == ErrorKind::NotFound &&
                                      got.error().payload().find("was dropped") != std::string::npos;
          if (!fine && ++case_wrong == 1) {
            ADD_FAILURE() << "read(" << ts << ") on the old handle: "
                          << (got ? (*got ? "another generation's bytes" : "none") : got.error().display());
          }
        }
        wrong += case_wrong > 0 ? 1 : 0;

        Dataset now = ok(reader->open_dataset("a", "b"));
        EXPECT_FALSE(now.same_as(old));
        EXPECT_EQ(now.identifier(), new_id);
        EXPECT_EQ(now.latest_timestamp(), recreated == 0 ? std::nullopt : std::optional<std::int64_t>(recreated));
        if (recreated > 0) {
          const auto got = now.read(recreated);
          EXPECT_TRUE(got && *got && (*got)->second == record(2, recreated));
        }
        EXPECT_TRUE(ok(reader->open_dataset_by_identifier(new_id)).same_as(now));
        EXPECT_EQ(err(reader->open_dataset_by_identifier(old_id)).kind(), ErrorKind::NotFound);
      }
    }
  }
  EXPECT_EQ(wrong, 0) << "of " << 2 * touches.size() * 3 << " cases";
}

}  // namespace
}  // namespace quelvane
