#include "quelvane_peer.h"

#include <limits>
#include <optional>
#include <utility>

#include "cache.h"
#include "config.h"
#include "dataset.h"

namespace bench {

namespace {

using quelvane::Dataset;

class QuelvanePeer final : public Peer {
 public:
  explicit QuelvanePeer(bool scan_views) : scan_views_(scan_views) {}
  ~QuelvanePeer() override { close(); }

  std::string_view name() const override { return scan_views_ ? kQuelvaneViewName : kQuelvaneName; }

  void open(const std::filesystem::path& dir) override { dataset_ = create_bench_dataset(dir); }

  void put(std::int64_t ts, std::span<const std::uint8_t> data) override { check_ok(dataset_->write(ts, data), "write"); }

  // Every write is already in the mapped segment files; a flush would only wait for the device.
  void finish_load() override {}

  void scan(RecordSink& sink) override {
    constexpr auto kAll = std::numeric_limits<std::int64_t>::max();
    if (scan_views_) {
      check_ok(dataset_->visit_range(0, kAll, [&sink](const quelvane::RecordView& r) {
        sink.take(r.timestamp, r.data);
        return true;
      }), "visit_range");
      return;
    }
    auto records = value_or_die(dataset_->query_all(0, kAll), "query_all");
    for (const auto& [ts, data] : records) sink.take(ts, data);
  }

  bool get(std::int64_t ts, RecordSink& sink) override {
    auto record = value_or_die(dataset_->read(ts), "read");
    if (!record) return false;
    sink.take(record->first, record->second);
    return true;
  }

  void close() override {
    if (dataset_) check_ok(dataset_->close(), "close");
    dataset_.reset();
  }

 private:
  bool scan_views_;
  std::optional<Dataset> dataset_;
};

}  // namespace

void check_ok(const quelvane::Status& s, const char* what) {
  if (!s) die(kQuelvaneName, std::string(what) + ": " + s.error().display());
}

Dataset create_bench_dataset(const std::filesystem::path& dir) {
  quelvane::DataSetConfig config;  // the defaults a store hands a new dataset
  Dataset dataset = value_or_die(Dataset::create({"bench", "records"}, dir / "bench" / "records", config), "create");
  // The cache keys blocks by identifier, and identifier 0 means "no cache".
  check_ok(dataset.set_identifier(1), "set_identifier");
  quelvane::DatasetContext context;
  context.block_cache = std::make_shared<quelvane::BlockCache>(quelvane::defaults::kCacheMaxMemory);
  check_ok(dataset.attach_context(std::move(context)), "attach_context");
  return dataset;
}

std::unique_ptr<Peer> make_quelvane_peer() { return std::make_unique<QuelvanePeer>(false); }
std::unique_ptr<Peer> make_quelvane_view_peer() { return std::make_unique<QuelvanePeer>(true); }

}  // namespace bench
