// Store: the Python entry to a data directory. It owns one core store while open (none once
// closed, and none from the start for an object made by Store()), and keeps every dataset it
// handed out under an id of its own.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "boundary/classes.h"
#include "store/store.h"

namespace quelvane::python {

struct StorePayload {
  std::unique_ptr<quelvane::Store> core;  // null: closed
  // One entry per Dataset object handed out, under its id; entries leave only at close or
  // teardown (a dropped dataset's entry stays).
  std::unordered_map<std::uint64_t, quelvane::Dataset> tracked_datasets;
  std::uint64_t next_dataset_id = 1;
  // The process that opened the core store: a forked child shares its files and lock but not its
  // threads, and must leave them to the parent.
  pid_t opened_by = 0;

  StorePayload() = default;
  explicit StorePayload(std::unique_ptr<quelvane::Store> store);
  StorePayload(StorePayload&&) noexcept = default;
  StorePayload& operator=(StorePayload&&) = delete;
  // The teardown on free: flushes the handed-out datasets without closing them, then drops the
  // core store. Whatever of the store a live dataset still needs (the writer lock among it) it
  // keeps itself. In another process than the one that opened it, nothing is touched: the core
  // store and the handles are left as they are.
  ~StorePayload();
};

struct StoreClass {
  static constexpr std::string_view name = "Store";
  using Payload = StorePayload;
  static ClassMembers members();
};

// Arranges, once, that every store still open at a normal interpreter exit is closed as close()
// closes it; only under the interpreter lock.
PyStatus register_exit_handler();

// The open core store, or RuntimeError "Store is closed".
PyResult<quelvane::Store*> open_core(StorePayload& store);

}  // namespace quelvane::python
