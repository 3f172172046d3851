// The one face every engine shows the benchmark, so the workload is written once: load records
// in timestamp order, scan them all forwards, read single records back.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace bench {

// Receives the records an engine reads back. Readers hand over views that need only live for
// the call, which lets every engine return a payload in its natural form (a view into a page,
// an owned copy) without an extra copy made for the benchmark's sake.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual void take(std::int64_t ts, std::span<const std::uint8_t> data) = 0;
};

class Peer {
 public:
  virtual ~Peer() = default;

  virtual std::string_view name() const = 0;
  // Creates the engine's files in dir, an empty directory that exists.
  virtual void open(const std::filesystem::path& dir) = 0;
  // Timestamps arrive strictly increasing.
  virtual void put(std::int64_t ts, std::span<const std::uint8_t> data) = 0;
  // Ends the load: whatever the engine needs so that every record sits in its files in final
  // form (a commit, a memtable flush). Waiting for the device is no part of it wherever the
  // engine lets that be chosen.
  virtual void finish_load() = 0;
  // Every record in timestamp order.
  virtual void scan(RecordSink& sink) = 0;
  // The record at ts handed to sink; false when there is none.
  virtual bool get(std::int64_t ts, RecordSink& sink) = 0;
  // Releases everything; the files stay for measuring.
  virtual void close() = 0;
};

// A failure inside an engine ends the run: a benchmark that carries on after one measures
// nothing. The temporary directory is still removed (the run's exit handler does it).
[[noreturn]] void die(std::string_view engine, std::string_view what);

}  // namespace bench
