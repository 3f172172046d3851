// The store's journal: an ordered log of the changes of its journalled datasets, numbered 1, 2,
// 3, ... without gaps, kept in journal segment files under <data_dir>/.journal/logs/data. The
// Journal is writable (a writable store with the journal on), read-only (a read-only store with
// the journal on; it serves what it found at open) or disabled (appends do nothing, readers get
// "journal is disabled").
//
// Locks: the log mutex guards the JournalLog (every segment and next_sequence); the queue slot
// mutex guards the optional journal queue. The log mutex is never held while another lock is
// taken, and no wake callback runs under either: an append hands the journal queue's callbacks
// back to its caller in a Wake, to be run once the caller's own locks are released.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "../config.h"
#include "../dataset_context.h"
#include "../dataset_key.h"
#include "../error.h"
#include "../queue/notifier.h"
#include "../util/fs.h"
#include "../util/mutex.h"
#include "durable.h"
#include "record.h"
#include "segment.h"

namespace quelvane {

class JournalQueue;

// A record read back: its sequence and its encoded bytes.
using JournalRecordData = std::pair<std::int64_t, std::vector<std::uint8_t>>;

namespace journal {

inline constexpr std::int64_t kMaxSequence = 0x7FFF'FFFF'FFFF'FFFE;  // 2^63 - 2
inline constexpr const char* kMarkerText = "quelvane journal v1\n";

// <data_dir>/.journal/logs and the parts under it.
fs::Path journal_dir(const fs::Path& data_dir);
// The base sequence a segment file is named by: exactly 20 ASCII digits, above 0, within i64.
std::optional<std::int64_t> parse_segment_file_name(const fs::Path& path);
// The file name of the segment based at base.
std::string segment_file_name(std::int64_t base);

}  // namespace journal

// The journalled datasets with changes whose journal records a flush has not yet covered: the
// journal syncs them before its own records become durable, so that no durable journal record
// names a change its dataset could still lose. `all` when one could not be noted.
struct OwedDatasets {
  std::vector<std::uint64_t> identifiers;
  bool all = false;

  bool empty() const { return identifiers.empty() && !all; }
  bool owes(std::uint64_t identifier) const;
  // Notes identifier without throwing: without memory for it, every dataset is owed.
  void note(std::uint64_t identifier) noexcept;
  void merge(const OwedDatasets& other) noexcept;
};

// Syncs the open datasets named, whole; the first failure is returned.
using SyncDatasets = std::function<Status(const OwedDatasets&)>;

class JournalLog {
 public:
  // The sizes and compression of the segments roll-over creates: the store's data segment
  // settings.
  struct Settings {
    std::uint64_t segment_size = defaults::kDataSegmentSize;
    std::uint64_t initial_segment_size = defaults::kInitialDataSegmentSize;
    std::uint8_t compress_level = defaults::kCompressLevel;
    std::uint8_t compress_type = defaults::kCompressType;

    static Settings of(const StoreConfig& config);
  };

  // Lists the data directory: headers are checked at once, the last segment is opened and
  // scanned, the others when a read first needs them. When the durable watermark beside the
  // segments names another boot, what lies above it is cut (writable: in the files, made
  // durable and the watermark stamped with this boot; read-only: in what this log serves).
  static Result<JournalLog> open(fs::Path data_dir, Settings settings, bool read_only);

  JournalLog(JournalLog&&) noexcept = default;
  JournalLog& operator=(JournalLog&&) noexcept = default;

  std::int64_t next_sequence() const { return next_sequence_; }
  // next_sequence - 1, none while the journal is empty.
  std::optional<std::int64_t> latest_sequence() const;
  bool read_only() const { return read_only_; }

  // Stores an encoded record under next_sequence and returns it; next_sequence moves on only
  // when the record is stored.
  Result<std::int64_t> append(std::span<const std::uint8_t> record);
  // Makes the last segment hold the next record of len bytes, rolling over when it cannot: the
  // append of a record of at most len bytes that follows, with no other append in between,
  // cannot fail for want of space.
  Status make_room(std::uint64_t len);
  Result<std::optional<JournalRecordData>> read(std::int64_t sequence);
  // The records of [start, end] (inclusive, clipped to what exists), in order.
  Result<std::vector<JournalRecordData>> query(std::int64_t start, std::int64_t end);
  // The first sequence from `from` on that lies in a segment, below next_sequence; none when
  // there is none. A damaged segment whose tail was lost leaves a gap before the next one.
  Result<std::optional<std::int64_t>> first_present_from(std::int64_t from);
  // Starts the segment based at base (replacing an empty one stored under it).
  Status rollover(std::int64_t base);
  // Synchronises every changed segment, in ascending base order, and the segments' directory
  // after a power-loss open removed segments; the first failure is returned.
  Status flush();
  // Records that every sequence up to `sequence` is durable (its segments flushed first).
  Status mark_durable(std::int64_t sequence);
  // The durable watermark (writable log), 0 when none.
  std::int64_t durable_sequence() const { return durable_ ? durable_->sequence() : 0; }

  OwedDatasets& owed() { return owed_; }

  std::size_t segment_count() const { return segments_.size(); }
  // Segments whose file is open and scanned (the others are opened on first use).
  std::size_t opened_segment_count() const;

  // How many sealed segments keep their mapping between uses, so that a journal of any length
  // holds a bounded number of mappings.
  static constexpr std::size_t kMappedSealedSegments = 8;

 private:
  struct Slot {
    fs::Path path;
    std::optional<JournalSegment> segment;
  };

  JournalLog(fs::Path data_dir, Settings settings, bool read_only)
      : data_dir_(std::move(data_dir)), settings_(settings), read_only_(read_only) {}

  Status check_appendable() const;
  // Runs step on the last segment (made when there is none); when the segment is full, on a
  // new segment rolled over to at next_sequence.
  template <class Step>
  Status in_last_segment(Step&& step);
  // The segment of the slot, opened on first use and mapped.
  Result<JournalSegment*> opened(std::int64_t base, Slot& slot);
  // Marks the sealed segment at base as used last; the one used least recently beyond
  // kMappedSealedSegments lets go of its mapping.
  void keep_mapped(std::int64_t base);
  // The last segment's scan gives next_sequence.
  Status find_next_sequence();
  // After a power loss: drops what lies above the watermark; on a writable log makes the cut
  // durable and stamps the watermark with this boot.
  Status cut_above(std::int64_t sequence);
  Status settle_watermark(const fs::Path& path, const std::optional<journal::Watermark>& found, bool lost);
  // The segment whose range holds sequence, or null.
  Result<JournalSegment*> segment_for(std::int64_t sequence);
  Result<JournalSegment*> last_segment();

  fs::Path data_dir_;
  Settings settings_;
  bool read_only_ = false;
  std::map<std::int64_t, Slot> segments_;
  // The bases of the sealed segments that are mapped, the one used least recently first.
  std::vector<std::int64_t> mapped_sealed_;
  std::int64_t next_sequence_ = 1;
  std::optional<journal::DurableWatermark> durable_;
  // A read-only log opened after a power loss serves nothing above the watermark it found.
  std::optional<std::int64_t> durable_cap_;
  // Segment files removed by a power-loss open, whose directory no sync has covered yet.
  bool dir_unsynced_ = false;
  OwedDatasets owed_;
};

using SharedJournalLog = std::shared_ptr<Mutex<JournalLog>>;

class Journal final : public JournalHook {
 public:
  enum class Mode { Writable, ReadOnly, Disabled };

  // For a writable store: creates the journal's directories and marker when missing.
  // shown_data_dir: data_dir as the caller spelled it, for messages (data_dir when empty).
  static Result<std::shared_ptr<Journal>> open(const fs::Path& data_dir, const StoreConfig& config,
                                               const fs::Path& shown_data_dir = {});
  // For a read-only store: creates and writes nothing; no journal directory reads as empty.
  static Result<std::shared_ptr<Journal>> open_read_only(const fs::Path& data_dir, const StoreConfig& config);
  static std::shared_ptr<Journal> disabled();

  Mode mode() const { return mode_; }

  // Room for the record of a change, made before the change: like is an entry whose record is
  // as long as the change's will be. The journal segment is grown, or rolled over, until it
  // holds the record; the room is kept by holding the journal's room lock until the room is
  // let go, which every other change's make_room waits for, so that no other append can take
  // it. Nothing is held when the journal is disabled. Refused once the journal is closed.
  Result<JournalRoom> room_for(const JournalEntry& like);
  // Stores the entry into room (when it holds none, the room is made first) and returns its
  // sequence (none when the journal is disabled); the room is let go before the journal queue's
  // pollers are notified, which is before this returns; its wake callbacks go into wake.
  Result<std::optional<std::int64_t>> append(JournalRoom room, const JournalEntry& entry, Wake& wake);
  Result<std::optional<std::int64_t>> append(const JournalEntry& entry, Wake& wake);
  // The same, running the wake callbacks itself: for a caller that holds no lock.
  Result<std::optional<std::int64_t>> append(const JournalEntry& entry);
  Result<std::optional<std::int64_t>> record_create_dataset(JournalRoom room, std::uint64_t identifier,
                                                            const DataSetKey& key,
                                                            std::span<const std::uint8_t> metadata, Wake& wake);
  Result<std::optional<std::int64_t>> record_drop_dataset(JournalRoom room, std::uint64_t identifier,
                                                          const DataSetKey& key,
                                                          std::span<const std::uint8_t> metadata, Wake& wake);

  Result<JournalRoom> make_room(Change change, std::uint64_t identifier) override;
  Status on_write(JournalRoom room, std::uint64_t identifier, const IndexEntry& entry, Wake& wake) override;
  Status on_delete(JournalRoom room, std::uint64_t identifier, const IndexEntry& entry, Wake& wake) override;
  Status on_append(JournalRoom room, std::uint64_t identifier, const IndexEntry& entry, std::uint32_t previous_len,
                   std::uint32_t appended_len, Wake& wake) override;

  Result<std::optional<std::int64_t>> latest_sequence();
  Result<std::optional<JournalRecordData>> read(std::int64_t sequence);
  Result<std::vector<JournalRecordData>> query(std::int64_t start, std::int64_t end);
  // Makes the journal durable as far as it goes now: the datasets its records name are synced
  // first (through the store's callback, with no journal lock held), then the segments, then
  // the watermark; then the journal queue's consumer groups.
  Status flush();
  // The same without the consumer groups: what a journalled dataset's flush adds.
  Status make_durable() override;
  // How flush() syncs the datasets its records name; set once by the store at its open.
  void sync_datasets_with(SyncDatasets sync) { sync_datasets_ = std::move(sync); }
  // The store's one journal queue, created on first use and kept for the journal's life; it
  // keeps writer_token (the writer lock's) until it closes.
  Result<std::shared_ptr<JournalQueue>> open_queue(std::shared_ptr<const void> writer_token = nullptr);
  // For the store's close: flushes, closes the journal queue and lets go of the files for
  // writing, so that a store opened after this one is the only writer. Appends, flushes and
  // queue opening are refused afterwards with "journal is closed"; reads still work. The
  // first failure of the flush or the queue's close is returned; the journal is closed anyway.
  Status close();
  bool closed() const { return closed_.load(); }

  // The shared log, for the journal queue; null when disabled or read-only without a log.
  const SharedJournalLog& log() const { return log_; }

  explicit Journal(Mode mode, SharedJournalLog log = nullptr, fs::Path queue_dir = {}, fs::Path shown_queue_dir = {});
  ~Journal() override;

 private:
  // The room a change holds from before it changes anything until its record is stored. It
  // is held across that whole change, a dataset's mutex and the making of a dataset's files
  // included, so it is a token taken and given back under a short lock of its own, never a
  // lock held across the change: no lock order runs from it to a dataset's mutex. A room is
  // given back on every path by its JournalRoom's owner.
  class RoomToken {
   public:
    void take();
    void give_back() noexcept;

   private:
    std::mutex mu_;
    std::condition_variable free_;
    bool taken_ = false;
  };
  // Gives the token back when it leaves scope unless the room it stands for was handed out.
  class TakenRoom {
   public:
    explicit TakenRoom(RoomToken& token) : token_(&token) { token.take(); }
    TakenRoom(const TakenRoom&) = delete;
    TakenRoom& operator=(const TakenRoom&) = delete;
    ~TakenRoom() {
      if (token_ != nullptr) token_->give_back();
    }
    void keep() { token_ = nullptr; }

   private:
    RoomToken* token_;
  };

  void give_back_room() noexcept override;
  Result<std::optional<std::int64_t>> append_entry(JournalRoom room, const JournalEntry& entry, std::uint64_t dataset,
                                                   Wake& wake);
  Status sync_log();

  Mode mode_;
  // Taken from a change's make_room until its record is stored (or the room let go). Taken
  // before the log mutex.
  RoomToken room_;
  SharedJournalLog log_;
  SyncDatasets sync_datasets_;
  fs::Path queue_dir_;
  fs::Path shown_queue_dir_;
  Mutex<std::shared_ptr<JournalQueue>> queue_slot_;
  std::atomic<bool> closed_{false};
};

}  // namespace quelvane
