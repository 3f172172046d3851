// The journal on the benchmark's dataset: the stream written into a dataset without and with a
// journal, the journal's own records compressed as the seal would (the floor a journalled
// write adds), random reads and one query of the whole journal, and one journal-queue group
// polling and acknowledging every record.
#pragma once

#include <cstddef>
#include <filesystem>

#include "workload.h"

namespace bench {

struct JournalRun {
  double plain_write_secs = 0;     // the stream written into a dataset without a journal (mean of
                                   // one load before and one after the journalled load)
  double journal_write_secs = 0;   // the same into a journalled dataset
  double record_compress_secs = 0;  // the journal's raw blocks compressed, 64 KiB at a time
  double read_secs = 0;             // `reads` reads of random sequences
  double query_secs = 0;            // one query of every sequence
  double drain_secs = 0;            // a journal-queue group polling and acknowledging each record
};

// One run in dir, an empty directory that exists.
JournalRun run_journal(const RecordStream& stream, std::size_t reads, const std::filesystem::path& dir);

}  // namespace bench
