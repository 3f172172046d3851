// A mutex that owns the state it guards and remembers an internal failure that unwound while
// it was held ("poisoned"), so later lockers learn that the state may be half-updated. It also
// refuses a second lock from the thread that already holds it, which would otherwise hang.
//
// Any other exception, above all an allocation that failed, leaves it usable: running out of
// memory is the failing operation's error, not a broken invariant, so the code under these
// locks allocates before it changes anything (or gives the strong guarantee), and the state
// stays whole for the next locker.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "../error.h"

namespace quelvane {

template <class T>
class Mutex {
 public:
  class Guard {
   public:
    Guard(Guard&& o) noexcept
        : owner_(std::exchange(o.owner_, nullptr)), lock_(std::move(o.lock_)), exceptions_(o.exceptions_) {}
    Guard& operator=(Guard&&) = delete;
    ~Guard() { release(); }

    T* operator->() const { return &owner_->value_; }
    T& operator*() const { return owner_->value_; }

    // Waits on cv, giving the lock up meanwhile; pred is checked under the lock.
    template <class Pred>
    void wait(std::condition_variable& cv, Pred pred) {
      owner_->holder_.store(std::thread::id{}, std::memory_order_relaxed);
      cv.wait(lock_, pred);
      owner_->holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    template <class Clock, class Duration, class Pred>
    bool wait_until(std::condition_variable& cv, const std::chrono::time_point<Clock, Duration>& t, Pred pred) {
      owner_->holder_.store(std::thread::id{}, std::memory_order_relaxed);
      bool ok = cv.wait_until(lock_, t, pred);
      owner_->holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
      return ok;
    }

    // Unlocks early; the guard then owns nothing.
    void release() {
      if (owner_ == nullptr) return;
      if (InternalFailure::unwinding(exceptions_)) owner_->poisoned_.store(true, std::memory_order_relaxed);
      owner_->holder_.store(std::thread::id{}, std::memory_order_relaxed);
      owner_ = nullptr;
      lock_.unlock();
    }

   private:
    friend class Mutex;
    Guard(Mutex* owner, std::unique_lock<std::mutex> lock)
        : owner_(owner), lock_(std::move(lock)), exceptions_(std::uncaught_exceptions()) {
      owner_->holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }

    Mutex* owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
  };

  // name is the lock's name in messages, e.g. "dataset mutex".
  template <class... A>
  explicit Mutex(std::string name, A&&... args) : name_(std::move(name)), value_(std::forward<A>(args)...) {}

  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // For the locks whose poisoning is an Error::InvalidData "<name> poisoned".
  Result<Guard> lock() {
    if (holder_.load(std::memory_order_relaxed) == std::this_thread::get_id())
      return fail(Error::invalid_data(name_ + " already held by this thread"));
    std::unique_lock<std::mutex> l(mutex_);
    if (poisoned_.load(std::memory_order_relaxed)) return fail(Error::invalid_data(name_ + " poisoned"));
    return Guard(this, std::move(l));
  }

  // For the store-wide locks, whose poisoning is itself an internal failure.
  Guard lock_or_panic() {
    QV_ASSERT(holder_.load(std::memory_order_relaxed) != std::this_thread::get_id(),
              name_ + " locked twice by one thread");
    std::unique_lock<std::mutex> l(mutex_);
    if (poisoned_.load(std::memory_order_relaxed)) internal_failure(name_ + " poisoned");
    return Guard(this, std::move(l));
  }

  // lock_or_panic for a body that cannot throw (a throw inside it ends the process), run on the
  // state under the lock. Nothing can unwind while the lock is held, so the poison bookkeeping,
  // which asks the runtime for its count of exceptions in flight on both sides, is left out.
  template <class F>
    requires std::is_nothrow_invocable_v<F&, T&>
  std::invoke_result_t<F&, T&> with_lock_or_panic(F&& f) {
    QV_ASSERT(holder_.load(std::memory_order_relaxed) != std::this_thread::get_id(),
              name_ + " locked twice by one thread");
    std::lock_guard<std::mutex> l(mutex_);
    if (poisoned_.load(std::memory_order_relaxed)) internal_failure(name_ + " poisoned");
    holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    struct Clear {
      std::atomic<std::thread::id>& holder;
      ~Clear() { holder.store(std::thread::id{}, std::memory_order_relaxed); }
    } clear{holder_};
    return f(value_);
  }

  bool poisoned() const { return poisoned_.load(std::memory_order_relaxed); }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
  std::atomic<std::thread::id> holder_{};
  T value_;
};

}  // namespace quelvane
