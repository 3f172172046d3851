#include "dirty_queue.h"

#include <gtest/gtest.h>

#include <thread>

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

}  // namespace
}  // namespace quelvane
