#include "queue.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "boundary/entry.h"
#include "boundary/gil.h"
#include "exceptions.h"
#include "inspect.h"
#include "util/time.h"

namespace quelvane::python {

// ---- wake callbacks ---------------------------------------------------------------------------

namespace {

// Runs on the thread that woke the queue: inside a call into the module once that call's core
// work is done, or on a thread of the core's own, which attaches here.
void call_wake(PyObject* callable) {
  AttachedGil attached;
  PyObject* result = PyObject_CallNoArgs(callable);
  if (result != nullptr) {
    Py_DECREF(result);
    return;
  }
  // What the callable raised goes to sys.unraisablehook, never to the write that woke it.
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  } else {
    PyErr_SetRaisedException(raised);
  }
  PyErr_WriteUnraisable(nullptr);
}

}  // namespace

WakeCallback python_wake_callback(PyRef callable) {
  // std::function needs a copyable target; the copies share the one reference.
  auto held = std::make_shared<const PyRef>(std::move(callable));
  return std::make_shared<const std::function<void()>>([held = std::move(held)] { call_wake(held->get()); });
}

namespace {

// The registration both consumer classes share: None clears the slot, a callable is registered,
// anything else is refused before the core is asked.
template <class Register>
PyStatus register_callback(PyRef callback, Register&& set) {
  if (callback.get() == Py_None) return from_core(set(WakeCallback{}));
  if (!PyCallable_Check(callback.get())) return type_error("poll_callback requires a callable or None");
  // A refused callback is let go of when this call's last holder goes, right after the core.
  return from_core(set(python_wake_callback(std::move(callback))));
}

// The longest a poll waits without the interpreter lock before it looks at pending signals.
constexpr std::uint64_t kSignalSliceMs = 50;

// Milliseconds from now to deadline, rounded up, so a slice never ends the poll early.
std::uint64_t millis_until(Instant deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<std::uint64_t>(left) : 0;
}

// One core poll of at most `slice`: the record as a new (int, bytes) tuple, or null when none
// came. Ended by the exception of a signal handler with no record handed out. Its waits give the
// interpreter lock up, and only the waits: it is released before the notifier's mutex is taken
// and taken back after that mutex is let go, so a writer on another Python thread can push and
// wake it, and close() from another thread ends it at once. Once the lock is back, the signals
// that came meanwhile are handled before anything is taken. A signal can still come while a
// record is being taken or copied into its tuple; its handler runs once the tuple is made, since
// the interpreter would run it right after the call and the caller would never see the record.
// When it raises, or the tuple cannot be made, the delivery is given back and the tuple dropped.
template <class Consumer>
PyResult<PyRef> poll_slice(Consumer& consumer, Duration slice) {
  bool signalled = false;
  const PollWaitRunner run_wait = [&](const std::function<void()>& wait) {
    {
      ReleasedGil released;
      wait();
    }
    signalled = PyErr_CheckSignals() < 0;
    return !signalled;
  };
  TakenDelivery taken;
  PyResult<PyRef> built = [&]() -> PyResult<PyRef> {
    // The native copy (up to a whole record) is let go of before the last look at signals.
    auto record = QV_PY_TRY(from_core(consumer.poll(slice, run_wait, &taken)));
    if (signalled) return fetched();
    if (!record) return PyRef{};
    return to_py(*record);
  }();
  if (built && (!*built || PyErr_CheckSignals() == 0)) return built;
  // The handler's exception, or the failure to make the tuple, is what the caller gets; should
  // the give-back fail, the record still comes back once its redelivery is due.
  PyErr failure = built ? PyErr::fetch() : std::move(built).error();
  built = PyRef{};
  if (taken) (void)consumer.give_back(*taken);
  return std::unexpected(std::move(failure));
}

// A blocking poll of timeout_ms (ms // 1000 seconds and (ms % 1000) * 1e6 nanoseconds), run as
// core polls of at most kSignalSliceMs each. Between two of them, with the interpreter lock
// held, the interpreter runs the handlers of the signals that came meanwhile: the exception of
// one (KeyboardInterrupt for Ctrl-C) ends the poll, with no record taken by it. A signal never
// interrupts the core's wait itself, so without the slices poll(2**64-1) would ignore Ctrl-C
// until a record came. Every slice ends with the core's last look, so a record or a redelivery
// that comes due is found as in one long wait; the handle's seen-notification count carries a
// wake-up from one slice to the next.
template <class Consumer>
PyResult<PyRef> poll_handling_signals(Consumer& consumer, std::uint64_t timeout_ms) {
  const auto or_none = [](PyRef record) { return record ? std::move(record) : PyRef::borrow(Py_None); };
  if (timeout_ms <= kSignalSliceMs) return or_none(QV_PY_TRY(poll_slice(consumer, Duration::from_millis(timeout_ms))));
  // None: a timeout past the clock's range, which only a record or a close ends.
  const std::optional<Instant> deadline = deadline_after(Clock::now(), Duration::from_millis(timeout_ms));
  while (true) {
    const std::uint64_t slice = deadline ? std::min(kSignalSliceMs, millis_until(*deadline)) : kSignalSliceMs;
    PyRef record = QV_PY_TRY(poll_slice(consumer, Duration::from_millis(slice)));
    if (record || (deadline && Clock::now() >= *deadline)) return or_none(std::move(record));
    if (PyErr_CheckSignals() < 0) return fetched();
  }
}

// The defaults of both open_consumer methods, then the check that comes before the group name's.
PyResult<ConsumerGroupConfig> consumer_config(Omittable<std::uint64_t> running_expired_seconds,
                                              Omittable<std::uint16_t> max_retry_count) {
  return from_core(queue::check_consumer_config(running_expired_seconds.value_or(900), max_retry_count.value_or(3)));
}

// ---- DatasetQueue -------------------------------------------------------------------------------

using Queue = Object<DatasetQueueClass>;

PyResult<std::int64_t> push(Queue& self, ByteBuffer data) { return from_core(self.payload.push(data)); }

PyResult<PyRef> open_consumer(Queue& self, std::string group_name, Omittable<std::uint64_t> running_expired_seconds,
                              Omittable<std::uint16_t> max_retry_count) {
  const ConsumerGroupConfig config = QV_PY_TRY(consumer_config(running_expired_seconds, max_retry_count));
  quelvane::DatasetQueueConsumer consumer = QV_PY_TRY(from_core(self.payload.open_consumer(group_name, config)));
  return wrap<DatasetQueueConsumerClass>(std::move(consumer));
}

PyResult<std::vector<std::string>> get_consumer_group_names(Queue& self) {
  return from_core(self.payload.get_consumer_group_names());
}

PyStatus close_queue(Queue& self) { return from_core(self.payload.close()); }

PyStatus drop_consumer(Queue& self, std::string group_name) {
  return from_core(self.payload.drop_consumer(group_name));
}

PyResult<PyRef> queue_repr(Queue&) { return to_py("DatasetQueue()"); }

constexpr Signature<1> kPush{"DatasetQueue", "push", {"data"}};
constexpr Signature<3> kOpenConsumer{
    "DatasetQueue", "open_consumer", {"group_name", "running_expired_seconds", "max_retry_count"}, 1};
constexpr Signature<1> kDropConsumer{"DatasetQueue", "drop_consumer", {"group_name"}};

constexpr auto S = Borrow::Shared;

PyMethodDef kQueueMethods[] = {
    method<DatasetQueueClass, kPush, S, &push>(
        "push($self, data)\n--\n\nPush data into the queue.\n\n"
        "Auto-increments the dataset timestamp and notifies all waiting\n"
        "consumers across all consumer groups.\n\n"
        "Returns the assigned timestamp. A MemoryError raised when that\n"
        "timestamp cannot be returned leaves the record stored."),
    method<DatasetQueueClass, kOpenConsumer, S, &open_consumer>(
        "open_consumer($self, group_name, running_expired_seconds=900, max_retry_count=3)\n--\n\n"
        "Open or create a consumer group and return a consumer handle.\n\n"
        "Multiple consumers in the same group share progress via the\n"
        "shared 4KB mmap state file. The first call for a group creates\n"
        "the state file; subsequent calls open the existing file.\n\n"
        "A new group starts after the dataset's latest record: records written\n"
        "before the group was first opened are never delivered to it."),
    method_noargs<DatasetQueueClass, S, &get_consumer_group_names>(
        "get_consumer_group_names",
        "get_consumer_group_names($self)\n--\n\nReturn current consumer group names.\n\n"
        "This lists existing state file directory entries without opening or\n"
        "validating the state files."),
    method_noargs<DatasetQueueClass, S, &close_queue>(
        "close",
        "close($self)\n--\n\nClose the queue and all associated consumers.\n\n"
        "All pending records are synced, consumer state files are\n"
        "flushed, and waiting polls are unblocked with `QueueClosed`."),
    method<DatasetQueueClass, kDropConsumer, S, &drop_consumer>(
        "drop_consumer($self, group_name)\n--\n\nDrop (close and remove) a consumer group.\n\n"
        "The consumer group's state file is synced and deleted.\n"
        "Subsequent calls to open_consumer with the same group name\n"
        "will create a fresh group."),
    {},
};

// ---- DatasetQueueConsumer -----------------------------------------------------------------------

using Consumer = Object<DatasetQueueConsumerClass>;

PyResult<PyRef> poll(Consumer& self, std::uint64_t timeout_ms) {
  return poll_handling_signals(self.payload, timeout_ms);
}

PyStatus ack(Consumer& self, std::int64_t timestamp) { return from_core(self.payload.ack(timestamp)); }

PyStatus flush(Consumer& self) { return from_core(self.payload.flush()); }

PyStatus close_consumer(Consumer& self) { return from_core(self.payload.close()); }

PyResult<PyRef> inspect(Consumer& self) {
  DatasetQueueConsumerInspectResult result = QV_PY_TRY(from_core(self.payload.inspect()));
  return wrap<DatasetQueueConsumerInspectResultClass>(std::move(result));
}

PyStatus poll_callback(Consumer& self, PyRef callback) {
  return register_callback(std::move(callback), [&](WakeCallback cb) { return self.payload.poll_callback(std::move(cb)); });
}

PyResult<PyRef> consumer_repr(Consumer&) { return to_py("DatasetQueueConsumer()"); }

// What a consumer's work survives is what a worker that is restarted after a crash has to know.
#define QV_POWER_LOSS                                                           \
  "\nAfter a power loss (or a kernel crash) the group keeps what its last\n"    \
  "completed flush covered: flush(), Dataset.flush(), the background flush\n"   \
  "every flush_interval seconds, or a close."
#define QV_JOURNAL_POWER_LOSS                                                   \
  "\nAfter a power loss (or a kernel crash) the group keeps what the store's\n" \
  "last completed flush covered: the background flush every flush_interval\n"   \
  "seconds, or a close."

constexpr Signature<1> kPoll{"DatasetQueueConsumer", "poll", {"timeout_ms"}};
constexpr Signature<1> kAck{"DatasetQueueConsumer", "ack", {"timestamp"}};
constexpr Signature<1> kPollCallback{"DatasetQueueConsumer", "poll_callback", {"callback"}};

PyMethodDef kConsumerMethods[] = {
    method<DatasetQueueConsumerClass, kPoll, S, &poll>(
        "poll($self, timeout_ms)\n--\n\nPoll for the next record.\n\n"
        "Returns the next unacked record as `(timestamp, data)`, or `None`\n"
        "if the timeout expires with no data available.\n\n"
        "Args:\n"
        "    timeout_ms: Maximum wait time in milliseconds. Use 0 for\n"
        "        non-blocking poll (returns immediately if no data).\n\n"
        "Raises:\n"
        "    QvanQueueClosedError: Queue has been closed.\n\n"
        "A record not acknowledged within running_expired_seconds is delivered\n"
        "again, up to max_retry_count more times. The delivery is written to the\n"
        "group's state at once: a worker killed before its ack gets the record\n"
        "again after a restart, its retry counted." QV_POWER_LOSS),
    method<DatasetQueueConsumerClass, kAck, S, &ack>(
        "ack($self, timestamp)\n--\n\nAcknowledge a previously polled record.\n\n"
        "Removes the pending entry and advances the consumer's processed\n"
        "timestamp. Only call after successfully processing a record\n"
        "returned by `poll()`.\n\n"
        "The acknowledgement is written to the group's state at once and kept\n"
        "if the process is killed." QV_POWER_LOSS),
    method_noargs<DatasetQueueConsumerClass, S, &flush>(
        "flush", "flush($self)\n--\n\nFlush this consumer group's state file.\n\n"
        "Makes the group's deliveries and acknowledgements so far durable: after\n"
        "a power loss (or a kernel crash) the group is as its last completed\n"
        "flush left it. A killed process loses nothing without one."),
    method_noargs<DatasetQueueConsumerClass, S, &close_consumer>(
        "close",
        "close($self)\n--\n\nClose this consumer group.\n\n"
        "All opened handles for the same group become invalid, and any\n"
        "unacknowledged pending entries are released for redelivery after reopen."),
    method_noargs<DatasetQueueConsumerClass, S, &inspect>(
        "inspect", "inspect($self)\n--\n\nInspect this consumer group's public config and durable state."),
    method<DatasetQueueConsumerClass, kPollCallback, S, &poll_callback>(
        "poll_callback($self, callback)\n--\n\nRegister or clear a lightweight wake callback.\n\n"
        "The callback is invoked synchronously after data waiters are notified.\n"
        "It must only wake external processing; call poll() separately to handle\n"
        "data. Pass None to clear the callback."),
    {},
};

// ---- JournalQueue ------------------------------------------------------------------------------

using Journal = Object<JournalQueueClass>;

PyResult<PyRef> open_journal_consumer(Journal& self, std::string group_name,
                                      Omittable<std::uint64_t> running_expired_seconds,
                                      Omittable<std::uint16_t> max_retry_count) {
  const ConsumerGroupConfig config = QV_PY_TRY(consumer_config(running_expired_seconds, max_retry_count));
  quelvane::JournalQueueConsumer consumer = QV_PY_TRY(
      from_core(self.payload->open_consumer(group_name, config.running_expired_seconds, config.max_retry_count)));
  return wrap<JournalQueueConsumerClass>(std::move(consumer));
}

PyStatus close_journal(Journal& self) { return from_core(self.payload->close()); }

PyResult<PyRef> journal_repr(Journal&) { return to_py("JournalQueue()"); }

constexpr Signature<3> kJournalOpenConsumer{
    "JournalQueue", "open_consumer", {"group_name", "running_expired_seconds", "max_retry_count"}, 1};

PyMethodDef kJournalMethods[] = {
    method<JournalQueueClass, kJournalOpenConsumer, S, &open_journal_consumer>(
        "open_consumer($self, group_name, running_expired_seconds=900, max_retry_count=3)\n--\n\n"
        "Open or create a journal consumer group."),
    method_noargs<JournalQueueClass, S, &close_journal>(
        "close", "close($self)\n--\n\nClose the journal queue handle and unblock waiting polls."),
    {},
};

// ---- JournalQueueConsumer ----------------------------------------------------------------------

using JournalConsumer = Object<JournalQueueConsumerClass>;

PyResult<PyRef> journal_poll(JournalConsumer& self, std::uint64_t timeout_ms) {
  return poll_handling_signals(self.payload, timeout_ms);
}

PyStatus journal_ack(JournalConsumer& self, std::int64_t sequence) { return from_core(self.payload.ack(sequence)); }

PyStatus journal_poll_callback(JournalConsumer& self, PyRef callback) {
  return register_callback(std::move(callback),
                           [&](WakeCallback cb) { return self.payload.set_poll_callback(std::move(cb)); });
}

PyResult<PyRef> journal_consumer_repr(JournalConsumer&) { return to_py("JournalQueueConsumer()"); }

constexpr Signature<1> kJournalPoll{"JournalQueueConsumer", "poll", {"timeout_ms"}};
constexpr Signature<1> kJournalAck{"JournalQueueConsumer", "ack", {"sequence"}};
constexpr Signature<1> kJournalPollCallback{"JournalQueueConsumer", "poll_callback", {"callback"}};

PyMethodDef kJournalConsumerMethods[] = {
    method<JournalQueueConsumerClass, kJournalPoll, S, &journal_poll>(
        "poll($self, timeout_ms)\n--\n\nPoll for the next encoded journal record.\n\n"
        "Returns (sequence, record bytes), or None once timeout_ms milliseconds\n"
        "pass without one. A record not acknowledged within running_expired_seconds\n"
        "is delivered again. The delivery is written to the group's state at once,\n"
        "so it is kept if the process is killed." QV_JOURNAL_POWER_LOSS),
    method<JournalQueueConsumerClass, kJournalAck, S, &journal_ack>(
        "ack($self, sequence)\n--\n\nAcknowledge a previously polled journal sequence.\n\n"
        "The acknowledgement is written to the group's state at once, so it is\n"
        "kept if the process is killed." QV_JOURNAL_POWER_LOSS),
    method<JournalQueueConsumerClass, kJournalPollCallback, S, &journal_poll_callback>(
        "poll_callback($self, callback)\n--\n\nRegister or clear a lightweight wake callback."),
    {},
};

#undef QV_POWER_LOSS
#undef QV_JOURNAL_POWER_LOSS

}  // namespace

ClassMembers DatasetQueueClass::members() {
  return {
      .doc = "Python wrapper for DatasetQueue.\n\n"
             "Maintains an open queue on a dataset, allowing push and consumer\n"
             "group operations.",
      .methods = kQueueMethods,
      .repr = &slot_entry<DatasetQueueClass, Borrow::Shared, &queue_repr>,
  };
}

ClassMembers DatasetQueueConsumerClass::members() {
  return {
      .doc = "Python wrapper for DatasetQueueConsumer.\n\n"
             "Polls for new records from a consumer group with configurable timeout.\n"
             "Multiple consumers for the same group share progress via mmap.",
      .methods = kConsumerMethods,
      .repr = &slot_entry<DatasetQueueConsumerClass, Borrow::Shared, &consumer_repr>,
  };
}

ClassMembers JournalQueueClass::members() {
  return {
      .doc = "Python wrapper for the built-in journal queue.",
      .methods = kJournalMethods,
      .repr = &slot_entry<JournalQueueClass, Borrow::Shared, &journal_repr>,
  };
}

ClassMembers JournalQueueConsumerClass::members() {
  return {
      .doc = "Python wrapper for a journal queue consumer.",
      .methods = kJournalConsumerMethods,
      .repr = &slot_entry<JournalQueueConsumerClass, Borrow::Shared, &journal_consumer_repr>,
  };
}

}  // namespace quelvane::python
