// The queue's wake-up hub: the notification count each poller compares with what it saw,
// blocking waits and their deadlines, the wake callbacks collected from the consumers' slots,
// and the scope that defers them to its opener.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "queue/notifier.h"
#include "util/log.h"

namespace quelvane {
namespace {

using namespace std::chrono_literals;
using WaitResult = QueueNotifier::WaitResult;

WakeCallback callback(std::function<void()> f) { return std::make_shared<const std::function<void()>>(std::move(f)); }

// Inside a death test: ends the child with `code` unless `held`.
void ok_or_exit(bool held, int code) {
  if (!held) std::exit(code);
}

std::shared_ptr<CallbackSlot> slot_with(QueueNotifier& notifier, WakeCallback cb) {
  auto slot = std::make_shared<CallbackSlot>();
  EXPECT_TRUE(notifier.register_slot(slot).has_value());
  EXPECT_TRUE(slot->try_set(std::move(cb)).value());
  return slot;
}

const auto never_closed = [] { return false; };

std::optional<Instant> in(Clock::duration d) { return Clock::now() + d; }

TEST(QueueNotifier, ANotificationStaysUnseenUntilThePollerLooks) {
  QueueNotifier notifier;
  std::uint64_t seen = 0;
  EXPECT_EQ(notifier.wait(Clock::now(), never_closed, seen).value(), WaitResult::DeadlinePassed);
  ASSERT_TRUE(notifier.notify().has_value());  // nobody waits yet
  ASSERT_TRUE(notifier.notify().has_value());
  EXPECT_EQ(notifier.wait(Clock::now(), never_closed, seen).value(), WaitResult::Notified)
      << "a notification before the wait is not lost";
  EXPECT_EQ(notifier.wait(in(20ms), never_closed, seen).value(), WaitResult::TimedOut)
      << "one look sees every notification so far; they do not wake it once each";
}

TEST(QueueNotifier, ABlockedWaitIsWokenFromAnotherThread) {
  QueueNotifier notifier;
  std::atomic<bool> waiting{false};
  std::thread poller([&] {
    waiting = true;
    auto started = Clock::now();
    std::uint64_t seen = 0;
    EXPECT_EQ(notifier.wait(in(60s), never_closed, seen).value(), WaitResult::Notified);
    EXPECT_LT(Clock::now() - started, 30s);
  });
  while (!waiting) std::this_thread::yield();
  std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(notifier.notify().has_value());
  poller.join();
}

TEST(QueueNotifier, ClosingEndsAWaitWithoutDeadlineAtOnce) {
  QueueNotifier notifier;
  std::atomic<bool> closed{false};
  // A timeout too large for the clock gives no deadline: the wait lasts until woken.
  auto deadline = deadline_after(Clock::now(), Duration{UINT64_MAX, 999'999'999});
  ASSERT_FALSE(deadline.has_value());
  std::atomic<bool> waiting{false};
  std::thread poller([&] {
    waiting = true;
    std::uint64_t seen = 0;
    EXPECT_EQ(notifier.wait(deadline, [&] { return closed.load(); }, seen).value(), WaitResult::Closed);
  });
  while (!waiting) std::this_thread::yield();
  std::this_thread::sleep_for(10ms);
  closed = true;
  ASSERT_TRUE(notifier.notify().has_value());
  poller.join();
  std::uint64_t seen = 0;
  EXPECT_EQ(notifier.wait(Clock::now(), [&] { return closed.load(); }, seen).value(), WaitResult::Closed)
      << "the close is seen before the pending notification";
}

// Several pollers waiting at once each see the one notification, even without a deadline.
TEST(QueueNotifier, EveryWaitingPollerSeesEachNotification) {
  QueueNotifier notifier;
  std::atomic<int> notified{0}, started{0};
  std::vector<std::thread> pollers;
  for (int i = 0; i < 3; ++i) {
    pollers.emplace_back([&, i] {
      std::uint64_t seen = 0;
      ++started;
      const std::optional<Instant> deadline = i == 0 ? std::nullopt : in(60s);
      if (notifier.wait(deadline, never_closed, seen).value() == WaitResult::Notified && seen == 1) ++notified;
    });
  }
  while (started < 3) std::this_thread::yield();
  std::this_thread::sleep_for(20ms);
  const auto sent = Clock::now();
  ASSERT_TRUE(notifier.notify().has_value());
  for (auto& t : pollers) t.join();
  EXPECT_EQ(notified, 3);
  EXPECT_LT(Clock::now() - sent, 30s);
}

TEST(SeenNotifications, CopiesShareItAndItNeverMovesBack) {
  SeenNotifications seen;
  SeenNotifications copy = seen;
  EXPECT_EQ(seen.start(), 0u);
  copy.finish(5);
  seen.finish(3);  // a poll that started earlier and saw less
  EXPECT_EQ(seen.start(), 5u);
  EXPECT_EQ(copy.start(), 5u);
}

TEST(QueueNotifier, WakeNotifiesFirstAndRunsCallbacksWhenTheCallerSaysSo) {
  QueueNotifier notifier;
  std::vector<std::string> calls;
  auto a = slot_with(notifier, callback([&] { calls.push_back("a"); }));
  auto empty = std::make_shared<CallbackSlot>();
  ASSERT_TRUE(notifier.register_slot(empty).has_value());
  auto b = slot_with(notifier, callback([&] { calls.push_back("b"); }));

  Wake wake = notifier.wake();
  EXPECT_EQ(wake.size(), 2u);
  EXPECT_TRUE(calls.empty()) << "nothing runs while the caller may still hold its locks";
  std::uint64_t seen = 0;
  EXPECT_EQ(notifier.wait(Clock::now(), never_closed, seen).value(), WaitResult::Notified)
      << "pollers are notified before any callback runs";
  wake.run();
  EXPECT_EQ(calls, (std::vector<std::string>{"a", "b"})) << "registration order";
  EXPECT_TRUE(wake.empty());

  // Two wake-ups in one operation run each callback twice.
  Wake twice = notifier.wake();
  twice.absorb(notifier.wake());
  twice.run();
  EXPECT_EQ(calls.size(), 6u);
}

TEST(QueueNotifier, AThrowingCallbackNeverStopsTheOthers) {
  std::vector<std::string> logged;
  log::set_sink(
      [&](log::Level level, std::string_view target, std::string_view text) {
        if (level == log::Level::Warn) logged.push_back(std::string(target) + " " + std::string(text));
      },
      log::Level::Warn);
  QueueNotifier notifier;
  int ran = 0;
  auto a = slot_with(notifier, callback([] { throw std::runtime_error("boom"); }));
  auto b = slot_with(notifier, callback([&] { ++ran; }));
  auto c = slot_with(notifier, callback([] { internal_failure("broken"); }));
  auto d = slot_with(notifier, callback([&] { ++ran; }));
  notifier.run_callbacks();
  log::set_sink(nullptr, log::Level::Off);
  EXPECT_EQ(ran, 2);
  EXPECT_EQ(logged, (std::vector<std::string>(2, "quelvane::queue [queue] poll callback panicked")));

  // No lock was left held or poisoned.
  EXPECT_TRUE(notifier.register_slot(std::make_shared<CallbackSlot>()).has_value());
  EXPECT_TRUE(notifier.notify().has_value());
  EXPECT_EQ(notifier.wake().size(), 4u);
}

TEST(QueueNotifier, TheRegistryOnlyRefersToSlots) {
  QueueNotifier notifier;
  int ran = 0;
  auto cb = callback([&] { ++ran; });
  std::weak_ptr<const std::function<void()>> watch = cb;
  auto slot = slot_with(notifier, std::move(cb));
  notifier.run_callbacks();
  EXPECT_EQ(ran, 1);

  // A slot nobody holds any more is forgotten, and its callback with it.
  slot.reset();
  EXPECT_TRUE(watch.expired());
  notifier.run_callbacks();
  EXPECT_EQ(ran, 1);
}

TEST(CallbackSlot, HoldsAtMostOneCallback) {
  CallbackSlot slot;
  auto first = callback([] {});
  EXPECT_TRUE(slot.try_set(first).value());
  EXPECT_FALSE(slot.try_set(callback([] {})).value()) << "a second callback is refused";
  EXPECT_EQ(slot.get().value(), first);
  EXPECT_EQ(slot.take().value(), first) << "handed back for release outside the caller's locks";
  EXPECT_EQ(slot.get().value(), nullptr);
  EXPECT_TRUE(slot.try_set(callback([] {})).value()) << "clear, then register";
}

// Inside a deferral scope nothing a Wake holds runs or is let go of; the scope's opener runs it
// all once it finishes the scope. Without a scope a Wake runs at once, as before.
TEST(WakeDeferral, CollectsEveryWakeOfItsThreadUntilFinished) {
  QueueNotifier notifier;
  std::vector<std::string> calls;
  auto slot = slot_with(notifier, callback([&] { calls.push_back("cb"); }));
  bool released = false;
  auto watched = WakeCallback(new std::function<void()>([] {}), [&](const std::function<void()>* f) {
    delete f;
    released = true;
  });

  EXPECT_FALSE(WakeDeferral::open());
  std::optional<Wake> handed;
  {
    WakeDeferral scope;
    EXPECT_TRUE(WakeDeferral::open());
    notifier.run_callbacks();
    Wake with_release = notifier.wake();
    with_release.release_later(std::move(watched));
    with_release.run();
    // Another thread has no scope: its wake runs there and then.
    std::thread([&] { notifier.run_callbacks(); }).join();
    EXPECT_EQ(calls.size(), 1u) << "only the other thread's wake ran";
    EXPECT_FALSE(released);
    {
      WakeDeferral inner;
      notifier.run_callbacks();
      inner.finish().run();  // hands its callbacks to the outer scope
    }
    EXPECT_EQ(calls.size(), 1u);
    handed = scope.finish();
    EXPECT_FALSE(WakeDeferral::open());
    EXPECT_EQ(handed->size(), 3u);
  }
  EXPECT_EQ(calls.size(), 1u) << "a finished scope leaves running to its opener";
  handed->run();
  EXPECT_EQ(calls.size(), 4u);
  EXPECT_TRUE(released);

  // A scope left without finish() runs what it collected as it closes: nothing is lost.
  {
    WakeDeferral scope;
    notifier.run_callbacks();
    EXPECT_EQ(calls.size(), 4u);
  }
  EXPECT_EQ(calls.size(), 5u);
  notifier.run_callbacks();
  EXPECT_EQ(calls.size(), 6u);
}

// A thread being ended (pthread_exit, as the interpreter ends a daemon thread at exit) inside a
// scope's callbacks, or while an exception unwinds through a scope, runs no further callback
// and never reaches std::terminate.
TEST(WakeDeferralDeathTest, AnEndedThreadRunsNothingMoreAndDoesNotAbort) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        QueueNotifier notifier;
        std::atomic<int> ran{0};
        auto ending = slot_with(notifier, callback([&] {
                                  ++ran;
                                  pthread_exit(nullptr);
                                }));
        auto later = slot_with(notifier, callback([&] { ran += 10; }));
        std::thread([&] {
          WakeDeferral scope;
          notifier.run_callbacks();
        }).join();
        ok_or_exit(ran == 1, 2);
        ok_or_exit(ending->take().has_value(), 3);
        // An exception leaving a scope drops what it collected.
        try {
          WakeDeferral scope;
          notifier.run_callbacks();
          throw std::runtime_error("failed");
        } catch (const std::runtime_error&) {
        }
        ok_or_exit(ran == 1, 4);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quelvane
