#include "dirty_queue.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <thread>

#include "support/allocation_counter.h"

namespace quelvane {
namespace {

const DataSetKey A{"a", "x"};
const DataSetKey B{"a", "xy"};  // differs from A only in a longer type
const DataSetKey C{"A", "x"};   // differs from A only in case

using Targets = std::vector<FlushTarget>;

TEST(FlushTargetTest, FormsAndAccessors) {
  auto data = FlushTarget::data_segment(4096);
  auto index = FlushTarget::index_segment(-5);
  auto group = FlushTarget::consumer_group("g1");
  EXPECT_EQ(data.kind(), FlushTarget::Kind::DataSegment);
  EXPECT_EQ(index.kind(), FlushTarget::Kind::IndexSegment);
  EXPECT_EQ(group.kind(), FlushTarget::Kind::ConsumerGroup);
  EXPECT_EQ(data.file_offset(), 4096u);
  EXPECT_EQ(index.start_ts(), -5);
  EXPECT_EQ(group.group(), "g1");

  // The same number names different things in the two segment forms.
  EXPECT_NE(FlushTarget::data_segment(7), FlushTarget::index_segment(7));
  EXPECT_EQ(FlushTarget::consumer_group("g"), FlushTarget::consumer_group("g"));
  EXPECT_NE(FlushTarget::consumer_group("g"), FlushTarget::consumer_group("G"));

  EXPECT_THROW((void)data.start_ts(), InternalFailure);
  EXPECT_THROW((void)index.group(), InternalFailure);
  EXPECT_THROW((void)group.file_offset(), InternalFailure);
}

// Only a broken invariant poisons the store's locks: an allocation that fails under one is the
// operation's own error and leaves the lock serving, also after an internal failure was
// handled under it.
TEST(PoisoningMutex, OnlyAnUnwindingInternalFailurePoisons) {
  struct Case {
    const char* name;
    std::function<void()> body;
    bool poisons;
  };
  const std::vector<Case> cases{
      {"allocation failure", [] { throw std::bad_alloc(); }, false},
      {"internal failure", [] { internal_failure("boom"); }, true},
      {"allocation failure after a handled internal failure",
       [] {
         try {
           internal_failure("handled");
         } catch (const InternalFailure&) {
         }
         throw std::bad_alloc();
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Mutex<int> dataset("dataset mutex");
    Mutex<int> store_wide("dirty queue mutex");
    try {
      auto g = dataset.lock().value();
      auto h = store_wide.lock_or_panic();
      c.body();
    } catch (const std::exception&) {
    }
    EXPECT_EQ(dataset.poisoned(), c.poisons);
    EXPECT_EQ(store_wide.poisoned(), c.poisons);
    EXPECT_EQ(dataset.lock().has_value(), !c.poisons);
  }
}

class DirtyQueueTest : public ::testing::Test {
 protected:
  // A, B, A, C with a target of each form.
  void push_abac() {
    queue_->push(A, FlushTarget::data_segment(0));
    queue_->push(B, FlushTarget::index_segment(100));
    queue_->push(A, FlushTarget::consumer_group("g"));
    queue_->push(C, FlushTarget::data_segment(0));
  }

  std::shared_ptr<DirtyQueue> queue_ = std::make_shared<DirtyQueue>();
};

TEST_F(DirtyQueueTest, DrainKeepsQueueOrderAndGroupsByKey) {
  push_abac();
  EXPECT_EQ(queue_->size(), 4u);
  auto items = queue_->take_all();
  std::vector<DirtyItem> expected{{A, FlushTarget::data_segment(0)},
                                  {B, FlushTarget::index_segment(100)},
                                  {A, FlushTarget::consumer_group("g")},
                                  {C, FlushTarget::data_segment(0)}};
  EXPECT_EQ(items, expected);
  EXPECT_EQ(queue_->size(), 0u);
  EXPECT_TRUE(queue_->take_all().empty());

  auto groups = group_by_key(std::move(items));
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0].first, A);
  EXPECT_EQ(groups[0].second, (Targets{FlushTarget::data_segment(0), FlushTarget::consumer_group("g")}));
  EXPECT_EQ(groups[1].first, B);
  EXPECT_EQ(groups[1].second, Targets{FlushTarget::index_segment(100)});
  EXPECT_EQ(groups[2].first, C);
  EXPECT_EQ(groups[2].second, Targets{FlushTarget::data_segment(0)});
}

TEST_F(DirtyQueueTest, TakeForLeavesOtherKeysInOrder) {
  push_abac();
  queue_->push(B, FlushTarget::data_segment(8));
  EXPECT_EQ(queue_->take_for(A), (Targets{FlushTarget::data_segment(0), FlushTarget::consumer_group("g")}));
  EXPECT_TRUE(queue_->take_for(A).empty());
  EXPECT_EQ(queue_->keys(), (std::vector<DataSetKey>{B, C}));
  EXPECT_EQ(queue_->size(), 3u);
  EXPECT_EQ(queue_->take_all(), (std::vector<DirtyItem>{{B, FlushTarget::index_segment(100)},
                                                        {C, FlushTarget::data_segment(0)},
                                                        {B, FlushTarget::data_segment(8)}}));
}

TEST_F(DirtyQueueTest, PutBackReturnsTargetsAheadOfLaterPushes) {
  push_abac();
  auto mine = queue_->take_for(A);
  queue_->push(A, FlushTarget::index_segment(9));
  EXPECT_EQ(queue_->keys(), (std::vector<DataSetKey>{B, C, A}));
  // The flush synced the first target and failed on the second.
  queue_->put_back(A, Targets(mine.begin() + 1, mine.end()));
  queue_->put_back(A, {});
  EXPECT_EQ(queue_->keys(), (std::vector<DataSetKey>{A, B, C}));
  // What is put back later goes ahead of what was put back before.
  queue_->put_back(C, queue_->take_for(C));
  EXPECT_EQ(queue_->keys(), (std::vector<DataSetKey>{C, A, B}));
  EXPECT_EQ(queue_->size(), 4u);
  EXPECT_EQ(queue_->take_all(), (std::vector<DirtyItem>{{C, FlushTarget::data_segment(0)},
                                                        {A, FlushTarget::consumer_group("g")},
                                                        {B, FlushTarget::index_segment(100)},
                                                        {A, FlushTarget::index_segment(9)}}));
  EXPECT_TRUE(queue_->keys().empty());
}

TEST_F(DirtyQueueTest, NotifierPushesItsKeyFromTwoThreads) {
  constexpr std::uint64_t kPerThread = 5000;
  FlushNotifier na{A, queue_};
  FlushNotifier nb{B, queue_};
  auto pusher = [](const FlushNotifier& n) {
    for (std::uint64_t i = 0; i < kPerThread; ++i) n.mark_dirty(FlushTarget::data_segment(i));
  };
  std::thread ta(pusher, std::cref(na));
  std::thread tb(pusher, std::cref(nb));
  ta.join();
  tb.join();

  auto groups = group_by_key(queue_->take_all());
  ASSERT_EQ(groups.size(), 2u);
  for (const auto& [k, targets] : groups) {
    EXPECT_TRUE(k == A || k == B);
    ASSERT_EQ(targets.size(), kPerThread);
    for (std::uint64_t i = 0; i < kPerThread; ++i) EXPECT_EQ(targets[i].file_offset(), i);
  }
}

// Every allocation an operation makes is made to fail in turn, with memory gone for good from
// there on: the operation then has no effect, and the queue is neither poisoned nor left
// half-changed, so it serves every later call. A report it could not keep (a push or a
// put-back without effect, a drain cut short) leaves the missed mark, and nothing else does.
TEST_F(DirtyQueueTest, RunningOutOfMemoryLeavesTheQueueWhole) {
  // Names past the short-string buffer, so that copying a key or a group name allocates.
  const DataSetKey D{"a-dataset-name-of-some-length", "a-type-name-of-some-length"};
  const FlushTarget long_group = FlushTarget::consumer_group("a-consumer-group-of-some-length");
  using Items = std::vector<DirtyItem>;
  const Items before{{A, FlushTarget::data_segment(0)},
                     {B, FlushTarget::index_segment(100)},
                     {A, FlushTarget::consumer_group("g")},
                     {C, FlushTarget::data_segment(0)}};
  // When a failure loses a report: when the queue is left as it was, never, or when it throws.
  enum class Lost { IfUnchanged, Never, IfThrown };
  struct Case {
    const char* name;
    std::function<void(DirtyQueue&, Targets&)> op;  // given the targets of a put-back, made beforehand
    Items after;
    Lost lost;
  };
  const std::vector<Case> cases{
      {"push for a new key", [&](DirtyQueue& q, Targets&) { (void)q.push(D, long_group); },
       {before[0], before[1], before[2], before[3], {D, long_group}}, Lost::IfUnchanged},
      {"push for a queued key", [&](DirtyQueue& q, Targets&) { (void)q.push(A, FlushTarget::index_segment(5)); },
       {before[0], before[1], before[2], before[3], {A, FlushTarget::index_segment(5)}}, Lost::IfUnchanged},
      {"push of a group", [&](DirtyQueue& q, Targets&) { (void)q.push_group(A, long_group.group()); },
       {before[0], before[1], before[2], before[3], {A, long_group}}, Lost::IfUnchanged},
      {"put back for a new key", [&](DirtyQueue& q, Targets& given) { q.put_back(D, std::move(given)); },
       {{D, long_group}, {D, FlushTarget::data_segment(8)}, before[0], before[1], before[2], before[3]},
       Lost::IfUnchanged},
      {"put back for a queued key", [&](DirtyQueue& q, Targets& given) {
         given.pop_back();
         q.put_back(B, std::move(given));
       },
       {{B, long_group}, before[0], before[1], before[2], before[3]}, Lost::IfUnchanged},
      {"take one key", [&](DirtyQueue& q, Targets&) { (void)q.take_for(A); }, {before[1], before[3]}, Lost::Never},
      {"keys", [&](DirtyQueue& q, Targets&) { (void)q.keys(); }, before, Lost::Never},
      {"drain", [&](DirtyQueue& q, Targets&) { (void)q.take_all(); }, {}, Lost::IfThrown},
  };
  for (const Case& c : cases) {
    for (std::uint64_t spared = 0;; ++spared) {
      SCOPED_TRACE(::testing::Message() << c.name << ", " << spared << " allocations spared");
      DirtyQueue q;
      q.push(A, FlushTarget::data_segment(0));
      q.push(B, FlushTarget::index_segment(100));
      q.push(A, FlushTarget::consumer_group("g"));
      q.push(C, FlushTarget::data_segment(0));
      Targets given{long_group, FlushTarget::data_segment(8)};
      bool threw = false;
      std::uint64_t failed = 0;
      {
        testing::FailingAllocation fail(spared);
        try {
          c.op(q, given);
        } catch (const std::bad_alloc&) {
          threw = true;
        }
        failed = fail.failed();
      }
      Items left;
      EXPECT_NO_THROW(left = q.take_all());
      EXPECT_TRUE(left == before || left == c.after) << "half-changed: " << left.size() << " items";
      const bool lost = c.lost == Lost::IfUnchanged ? left == before : c.lost == Lost::IfThrown && threw;
      EXPECT_EQ(q.take_missed(), lost);
      EXPECT_FALSE(q.take_missed());
      if (!threw && failed == 0) {
        EXPECT_EQ(left, c.after);
        break;
      }
      ASSERT_LT(spared, 100u) << "the operation never completed";
    }
  }
}

}  // namespace
}  // namespace quelvane
