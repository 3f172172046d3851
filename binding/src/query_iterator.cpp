#include "query_iterator.h"

#include <cstdint>
#include <type_traits>
#include <utility>

#include "boundary/entry.h"
#include "exceptions.h"
#include "record_objects.h"

namespace quelvane::python {

namespace {

// A step's failure is raised as RuntimeError with the error's display text, not as the class of
// its kind: the iterator protocol is where callers expect it.
std::unexpected<PyErr> step_error(const Error& error) { return runtime_error(error.display()); }

template <class T>
PyResult<T> step_result(Result<T> r) {
  if (!r) return step_error(r.error());
  if constexpr (std::is_void_v<T>)
    return {};
  else
    return std::move(*r);
}

template <class Cls>
struct Steps;

// Records are made from the decoded blocks under the dataset's lock (record_objects.h); an
// object that could not be made is raised as what the interpreter raised (a MemoryError).
template <>
struct Steps<QueryIteratorClass> {
  // An item, or none at the end of the range.
  static PyResult<std::optional<PyRef>> next(QueryState& q) {
    RecordObjects record(RecordObjects::Into::One);
    Result<bool> visited;
    {
      GcPaused paused;
      visited = q.next_record_view(record.visitor());
    }
    if (!QV_PY_TRY(step_result(std::move(visited)))) return std::nullopt;
    return QV_PY_TRY(record.take());
  }
  static PyResult<PyRef> take(QueryState& q, std::uint64_t count) {
    RecordObjects records(RecordObjects::Into::List);
    Status read;
    {
      GcPaused paused;
      read = q.visit_records(count, records.visitor());
    }
    QV_PY_TRY(step_result(std::move(read)));
    return records.take();
  }
};

template <>
struct Steps<QueryLengthIteratorClass> {
  static auto next(QueryState& q) { return step_result(q.next_length()); }
  static auto take(QueryState& q, std::uint64_t count) { return step_result(q.take_lengths(count)); }
};

template <class Cls>
using Self = Object<Cls>;

// A step's item or list: already an object, or a value to convert.
PyResult<PyRef> as_object(PyRef obj) { return obj; }
template <class T>
PyResult<PyRef> as_object(const T& value) {
  return to_py(value);
}

template <class Cls>
PyResult<PyRef> next_item(Self<Cls>& self) {
  // Closed: the iteration ends without a step.
  if (!self.payload) return PyRef{};
  auto item = QV_PY_TRY(Steps<Cls>::next(*self.payload));
  if (!item.has_value()) {
    // The end of the range releases the cursor and its dataset handle.
    self.payload.reset();
    return PyRef{};
  }
  return as_object(std::move(*item));
}

template <class Cls>
PyResult<PyRef> iter_self(Self<Cls>& self) {
  return PyRef::borrow(self.py());
}

// Taken out first: the iterator is closed from here on, whatever the core answers.
template <class Cls>
PyResult<PyRef> take_out(Self<Cls>& self, std::uint64_t count) {
  std::optional<QueryState> state = std::exchange(self.payload, std::nullopt);
  if (!state) return checked_result(PyList_New(0));
  return as_object(QV_PY_TRY(Steps<Cls>::take(*state, count)));
}

template <class Cls>
PyResult<PyRef> collect_all(Self<Cls>& self) {
  return take_out(self, UINT64_MAX);
}

template <class Cls>
PyResult<PyRef> collect_take(Self<Cls>& self, std::uint64_t count) {
  return take_out(self, count);
}

// A closed iterator stays closed: skip and reverse leave it as it is.
template <class Cls>
PyResult<void> skip(Self<Cls>& self, std::uint64_t count) {
  if (self.payload) self.payload->skip(count);
  return {};
}

template <class Cls>
PyResult<void> reverse(Self<Cls>& self) {
  if (self.payload) self.payload->reverse();
  return {};
}

template <class Cls>
PyResult<void> close(Self<Cls>& self) {
  self.payload.reset();
  return {};
}

template <class Cls>
constexpr Signature<1> kSkip{Cls::name.data(), "skip", {"count"}};
template <class Cls>
constexpr Signature<1> kCollectTake{Cls::name.data(), "collect_take", {"count"}};

template <class Cls>
PyMethodDef kMethods[] = {
    method<Cls, kSkip<Cls>, Borrow::Exclusive, &skip<Cls>>("skip($self, count)\n--\n\n"),
    method_noargs<Cls, Borrow::Exclusive, &reverse<Cls>>("reverse", "reverse($self)\n--\n\n"),
    method_noargs<Cls, Borrow::Exclusive, &close<Cls>>("close", "close($self)\n--\n\n"),
    method_noargs<Cls, Borrow::Exclusive, &collect_all<Cls>>("collect_all", "collect_all($self)\n--\n\n"),
    method<Cls, kCollectTake<Cls>, Borrow::Exclusive, &collect_take<Cls>>("collect_take($self, count)\n--\n\n"),
    {},
};

template <class Cls>
ClassMembers iterator_members() {
  return {
      .methods = kMethods<Cls>,
      .iter = &slot_entry<Cls, Borrow::Shared, &iter_self<Cls>>,
      .iternext = &slot_entry<Cls, Borrow::Exclusive, &next_item<Cls>>,
  };
}

}  // namespace

ClassMembers QueryIteratorClass::members() { return iterator_members<QueryIteratorClass>(); }
ClassMembers QueryLengthIteratorClass::members() { return iterator_members<QueryLengthIteratorClass>(); }

}  // namespace quelvane::python
