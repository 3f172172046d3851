// Entry points: the C functions the interpreter calls, generated from a class's method bodies.
// Each one runs the entry guard and then, in this order: matches the arguments, checks the
// receiver's type, takes the borrow, converts the arguments in parameter order, runs the body, runs
// the wake callbacks the body's core calls collected (methods other than reads, and constructors),
// and converts its result; the borrow is released on every path.
//
// A body takes the receiver first (Object<Cls>&; PyTypeObject* for class methods and constructors)
// and then one value per parameter, whose type names its conversion (convert.h). It returns a
// PyResult of a PyRef, of a value to_py converts, or of nothing (None); a constructor returns
// PyResult<Payload>. Tables are made from the bodies:
//
//   constexpr Signature<2> kWrite{"Dataset", "write", {"timestamp", "data"}};
//   PyResult<void> write(Object<DatasetClass>& self, std::int64_t timestamp, ByteBuffer data);
//
//   PyMethodDef kMethods[] = {
//       method<DatasetClass, kWrite, Borrow::Exclusive, &write>("write($self, timestamp, data)\n--\n\n..."),
//       method_noargs<DatasetClass, Borrow::Exclusive, &flush>("flush", "flush($self)\n--\n\n..."),
//       {},
//   };
//   PyGetSetDef kProperties[] = {property<DatasetClass, &get_id>("id", "..."), {}};
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "boundary/args.h"
#include "boundary/classes.h"
#include "boundary/convert.h"
#include "boundary/guard.h"
#include "py.h"
#include "queue/notifier.h"

namespace quelvane::python {

namespace entry_detail {

template <class F>
struct BodyTraits;
template <class R, class Self, class... A>
struct BodyTraits<R (*)(Self, A...)> {
  using Args = std::tuple<std::remove_cvref_t<A>...>;
  static constexpr std::size_t arity = sizeof...(A);
  // What the body returns, as a PyResult.
  using Out = std::conditional_t<is_py_result<R>, R, PyResult<R>>;
};

// Converts every slot in parameter order, stopping at the first failure, then runs the body.
template <auto Body, class Self, std::size_t... I>
auto call_converted(Self&& self, const SignatureView& sig, std::span<PyObject* const> slots,
                    std::index_sequence<I...>) -> typename BodyTraits<decltype(Body)>::Out {
  using Args = typename BodyTraits<decltype(Body)>::Args;
  std::tuple<std::optional<std::tuple_element_t<I, Args>>...> values;
  std::optional<PyErr> failure;
  auto one = [&]<std::size_t J>(std::integral_constant<std::size_t, J>) {
    auto converted = convert_arg<std::tuple_element_t<J, Args>>(slots[J], sig.param(J));
    if (!converted) {
      failure.emplace(std::move(converted).error());
      return false;
    }
    std::get<J>(values).emplace(std::move(*converted));
    return true;
  };
  if (!(one(std::integral_constant<std::size_t, I>{}) && ...)) return std::unexpected(std::move(*failure));
  return Body(std::forward<Self>(self), std::move(*std::get<I>(values))...);
}

template <auto Body, const auto& Sig, class Self>
auto convert_and_call(Self&& self, std::span<PyObject* const> slots) -> typename BodyTraits<decltype(Body)>::Out {
  static_assert(BodyTraits<decltype(Body)>::arity == std::remove_cvref_t<decltype(Sig)>::size,
                "the body takes one value per parameter of its description");
  return call_converted<Body>(std::forward<Self>(self), Sig.view(), slots,
                              std::make_index_sequence<BodyTraits<decltype(Body)>::arity>{});
}

// Runs a body inside a wake-deferral scope: the wake callbacks its core calls collect run once
// it has returned, so with every core lock released, yet before the borrow is released and
// before any error is raised. The same goes for the callbacks those calls let go of. A body
// that unwinds runs none of them: an internal failure's unwind as in the scope's own close, and
// a thread the interpreter ends (a forced unwind, which only a handler sees) no longer holds the
// interpreter lock.
template <class F>
auto deferring_wakes(F&& body) {
  WakeDeferral scope;
  try {
    auto result = body();
    scope.finish().run();
    return result;
  } catch (...) {
    scope.abandon();
    throw;
  }
}

// Whether an entry point opens a wake-deferral scope around its body.
enum class Wakes : bool { Deferred, None };

// A body that cannot wake a queue (it only reads) runs without the scope, which costs a
// thread-local look-up on each side of every call.
template <Wakes W, class F>
auto running(F&& body) {
  if constexpr (W == Wakes::Deferred) {
    return deferring_wakes(std::forward<F>(body));
  } else {
    return body();
  }
}

template <class F>
PyCFunction as_cfunction(F* f) {
  // The interpreter calls it through the convention its flags name.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace entry_detail

// --- methods -------------------------------------------------------------------------------

template <class Cls, const auto& Sig, Borrow B, auto Body, entry_detail::Wakes W = entry_detail::Wakes::Deferred>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_object([&]() -> PyResult<PyRef> {
    std::array<PyObject*, std::remove_cvref_t<decltype(Sig)>::size> slots{};
    QV_PY_TRY(match_fastcall(Sig.view(), args, nargs, kwnames, slots));
    Object<Cls>* obj = QV_PY_TRY(check_type<Cls>(self));
    BorrowGuard borrow = QV_PY_TRY(take_borrow<B>(*obj));
    return result_to_py(entry_detail::running<W>([&] { return entry_detail::convert_and_call<Body, Sig>(*obj, slots); }));
  });
}

template <class Cls, Borrow B, auto Body, entry_detail::Wakes W = entry_detail::Wakes::Deferred>
PyObject* method_noargs_entry(PyObject* self, PyObject* /*unused*/) {
  return guard_object([&]() -> PyResult<PyRef> {
    Object<Cls>* obj = QV_PY_TRY(check_type<Cls>(self));
    BorrowGuard borrow = QV_PY_TRY(take_borrow<B>(*obj));
    return result_to_py(entry_detail::running<W>([&] { return Body(*obj); }));
  });
}

template <const auto& Sig, auto Body>
PyObject* class_method_entry(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_object([&]() -> PyResult<PyRef> {
    std::array<PyObject*, std::remove_cvref_t<decltype(Sig)>::size> slots{};
    QV_PY_TRY(match_fastcall(Sig.view(), args, nargs, kwnames, slots));
    return result_to_py(entry_detail::deferring_wakes(
        [&] { return entry_detail::convert_and_call<Body, Sig>(reinterpret_cast<PyTypeObject*>(cls), slots); }));
  });
}

template <auto Body>
PyObject* class_method_noargs_entry(PyObject* cls, PyObject* /*unused*/) {
  return guard_object([&]() -> PyResult<PyRef> {
    return result_to_py(entry_detail::deferring_wakes([&] { return Body(reinterpret_cast<PyTypeObject*>(cls)); }));
  });
}

// A method with parameters (METH_FASTCALL | METH_KEYWORDS), named by its description.
template <class Cls, const auto& Sig, Borrow B, auto Body>
PyMethodDef method(const char* doc) {
  return {Sig.name, entry_detail::as_cfunction(&method_entry<Cls, Sig, B, Body>), METH_FASTCALL | METH_KEYWORDS, doc};
}

// A method without parameters: the interpreter itself refuses arguments (METH_NOARGS).
template <class Cls, Borrow B, auto Body>
PyMethodDef method_noargs(const char* name, const char* doc) {
  return {name, entry_detail::as_cfunction(&method_noargs_entry<Cls, B, Body>), METH_NOARGS, doc};
}

// The same for a method that only reads: no read wakes a queue, so these open no wake deferral.
template <class Cls, const auto& Sig, Borrow B, auto Body>
PyMethodDef read_method(const char* doc) {
  return {Sig.name, entry_detail::as_cfunction(&method_entry<Cls, Sig, B, Body, entry_detail::Wakes::None>),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

template <class Cls, Borrow B, auto Body>
PyMethodDef read_method_noargs(const char* name, const char* doc) {
  return {name, entry_detail::as_cfunction(&method_noargs_entry<Cls, B, Body, entry_detail::Wakes::None>), METH_NOARGS,
          doc};
}

// Class methods: the body gets the class the method was called on; no receiver check, no borrow.
template <const auto& Sig, auto Body>
PyMethodDef class_method(const char* doc) {
  return {Sig.name, entry_detail::as_cfunction(&class_method_entry<Sig, Body>),
          METH_FASTCALL | METH_KEYWORDS | METH_CLASS, doc};
}

template <auto Body>
PyMethodDef class_method_noargs(const char* name, const char* doc) {
  return {name, entry_detail::as_cfunction(&class_method_noargs_entry<Body>), METH_NOARGS | METH_CLASS, doc};
}

// --- properties ----------------------------------------------------------------------------

// Getters read the payload under a shared borrow: Body(const Payload&) returns a value or a
// PyResult.
template <class Cls, auto Body>
PyObject* getter_entry(PyObject* self, void* /*closure*/) {
  return guard_object([&]() -> PyResult<PyRef> {
    Object<Cls>* obj = QV_PY_TRY(check_type<Cls>(self));
    BorrowGuard borrow = QV_PY_TRY(BorrowGuard::shared(obj->borrow));
    return result_to_py(Body(std::as_const(obj->payload)));
  });
}

template <class Cls, auto Body>
PyGetSetDef property(const char* name, const char* doc = nullptr) {
  return {name, &getter_entry<Cls, Body>, nullptr, doc, nullptr};
}

// --- special slots -------------------------------------------------------------------------

// tp_new with the tuple-and-dictionary convention: the body builds the payload, which becomes a
// new object of the class called.
template <class Cls, const auto& Sig, auto Body>
PyObject* constructor_entry(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  return guard_object([&]() -> PyResult<PyRef> {
    std::array<PyObject*, std::remove_cvref_t<decltype(Sig)>::size> slots{};
    QV_PY_TRY(match_tuple_dict(Sig.view(), args, kwargs, slots));
    typename Cls::Payload payload =
        QV_PY_TRY(entry_detail::deferring_wakes([&] { return entry_detail::convert_and_call<Body, Sig>(cls, slots); }));
    return wrap_as<Cls>(cls, std::move(payload));
  });
}

// tp_repr, tp_iter, tp_iternext: the receiver alone, under the given borrow. For tp_iternext a
// null PyRef ends the iteration. These only read, and no read wakes a queue, so they open no wake
// deferral: a lazy query's step pays for nothing but its lock, its cursor step and its item.
template <class Cls, Borrow B, auto Body>
PyObject* slot_entry(PyObject* self) {
  return guard_object([&]() -> PyResult<PyRef> {
    Object<Cls>* obj = QV_PY_TRY(check_type<Cls>(self));
    BorrowGuard borrow = QV_PY_TRY(take_borrow<B>(*obj));
    return result_to_py(Body(*obj));
  });
}

}  // namespace quelvane::python
