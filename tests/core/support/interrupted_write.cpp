#include "support/interrupted_write.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "segment/data.h"

namespace quelvane::testing {

namespace {

BarrierRecorder* active_recorder = nullptr;

struct Store {
  std::uint64_t offset;
  std::uint64_t length;
};

// What one step stored, from the file before and after it: single stores, and at most one copy
// of a longer run, which a kill may cut anywhere (a memcpy may move its bytes in any order).
struct Step {
  std::vector<Store> stores;
  std::vector<std::vector<Store>> partial_copies;  // the parts of the copy a kill may leave
};

Step step_between(const Bytes& a, const Bytes& b, std::uint64_t words_begin, std::uint64_t words_end) {
  Step step;
  for (std::uint64_t w = words_begin; w + 8 <= words_end; w += 8) {
    if (!std::equal(a.begin() + w, a.begin() + w + 8, b.begin() + w)) step.stores.push_back({w, 8});
  }
  // Changed runs outside the word area; runs closer than one word belong to one store.
  std::vector<Store> runs;
  for (std::uint64_t i = 0; i < b.size(); ++i) {
    if ((i >= words_begin && i < words_end) || a[i] == b[i]) continue;
    if (!runs.empty() && i - (runs.back().offset + runs.back().length) < 8) {
      runs.back().length = i + 1 - runs.back().offset;
    } else {
      runs.push_back({i, 1});
    }
  }
  // A copy spans from its first changed byte to its last.
  std::vector<Store> singles;
  for (const Store& r : runs) {
    if (r.length <= 8) singles.push_back(r);
  }
  std::uint64_t copy_begin = UINT64_MAX, copy_end = 0;
  for (const Store& r : runs) {
    if (r.length <= 8) continue;
    copy_begin = std::min(copy_begin, r.offset);
    copy_end = std::max(copy_end, r.offset + r.length);
  }
  if (copy_end > 0) {
    // Single stores inside the copy's span are part of it.
    std::erase_if(singles, [&](const Store& r) { return r.offset >= copy_begin && r.offset < copy_end; });
    const std::uint64_t len = copy_end - copy_begin;
    for (std::uint64_t q = 1; q < 4; ++q) {
      step.partial_copies.push_back({{copy_begin, len * q / 4}});                          // head first
      step.partial_copies.push_back({{copy_begin + len * q / 4, len - len * q / 4}});      // tail first
    }
    step.partial_copies.push_back({{copy_begin + len / 4, len / 2}});                      // middle only
    step.partial_copies.push_back({{copy_begin, len / 4}, {copy_end - len / 4, len / 4}});  // both ends
  }
  step.stores.insert(step.stores.end(), singles.begin(), singles.end());
  if (copy_end > 0) step.stores.push_back({copy_begin, copy_end - copy_begin});
  return step;
}

void apply(Bytes& torn, const Bytes& to, const Store& s) {
  const auto from = to.begin() + static_cast<std::ptrdiff_t>(s.offset);
  std::copy(from, from + static_cast<std::ptrdiff_t>(s.length), torn.begin() + static_cast<std::ptrdiff_t>(s.offset));
}

}  // namespace

BarrierRecorder::BarrierRecorder() {
  EXPECT_EQ(active_recorder, nullptr);
  active_recorder = this;
  set_store_barrier_observer(&BarrierRecorder::record);
}

BarrierRecorder::~BarrierRecorder() {
  set_store_barrier_observer(nullptr);
  active_recorder = nullptr;
}

void BarrierRecorder::record(const fs::Path& path) {
  if (active_recorder != nullptr) active_recorder->snapshots_.emplace_back(path, read_bytes(path));
}

std::vector<Bytes> BarrierRecorder::of(const fs::Path& path) const {
  std::vector<Bytes> out;
  for (const auto& [p, bytes] : snapshots_) {
    if (p == path) out.push_back(bytes);
  }
  return out;
}

std::vector<InterruptedState> interrupted_states(std::vector<Bytes> steps, std::uint64_t word_area_begin,
                                                 std::uint64_t word_area_end) {
  std::vector<InterruptedState> states;
  std::size_t length = 0;
  for (const Bytes& s : steps) length = std::max(length, s.size());
  for (Bytes& s : steps) s.resize(length, 0);
  for (std::size_t k = 0; k + 1 < steps.size(); ++k) {
    const Bytes& before = steps[k];
    const Bytes& after = steps[k + 1];
    const Step step = step_between(before, after, word_area_begin, word_area_end);
    EXPECT_LT(step.stores.size(), 12u) << "a step of that many stores has too many subsets to replay";
    const std::string prefix = "step " + std::to_string(k) + " of " + std::to_string(steps.size() - 1) + ", stores {";
    // Every proper subset of the step's stores (the copy whole or not at all), then the copy
    // cut short with every subset of the other stores.
    const std::uint32_t all = (1u << step.stores.size()) - 1;
    for (std::uint32_t mask = 0; mask < std::max<std::uint32_t>(all, 1); ++mask) {
      Bytes torn = before;
      std::string label = prefix;
      for (std::size_t s = 0; s < step.stores.size(); ++s) {
        if ((mask & (1u << s)) == 0) continue;
        apply(torn, after, step.stores[s]);
        label += std::to_string(s) + ",";
      }
      states.push_back({label + "}", torn});
    }
    if (step.partial_copies.empty()) continue;
    const std::size_t singles = step.stores.size() - 1;  // the copy is the last store
    for (std::size_t c = 0; c < step.partial_copies.size(); ++c) {
      for (std::uint32_t mask = 0; mask < (1u << singles); ++mask) {
        Bytes torn = before;
        std::string label = prefix + "copy part " + std::to_string(c);
        for (const Store& part : step.partial_copies[c]) apply(torn, after, part);
        for (std::size_t s = 0; s < singles; ++s) {
          if ((mask & (1u << s)) == 0) continue;
          apply(torn, after, step.stores[s]);
          label += "," + std::to_string(s);
        }
        states.push_back({label + "}", std::move(torn)});
      }
    }
  }
  return states;
}

Bytes read_bytes(const fs::Path& path) {
  auto read = fs::read_file(path);
  EXPECT_TRUE(read.has_value()) << path;
  return read ? *read : Bytes{};
}

void write_bytes(const fs::Path& path, const Bytes& bytes) {
  auto written = fs::write_file(path, bytes);
  EXPECT_TRUE(written.has_value()) << path;
}

}  // namespace quelvane::testing
