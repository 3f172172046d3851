// Method descriptions and the matching of call arguments to their parameters.
//
// A description is constant data beside the method:
//   constexpr Signature<2> kWrite{"Dataset", "write", {"timestamp", "data"}};
//   constexpr Signature<2, 7> kCreate{"Store", "create_dataset", {"name", "dataset_type"}, 2,
//                                     {"data_segment_size", ...}};
// Matching fills one slot per parameter (positional parameters first, then the keyword-only ones)
// with a borrowed reference, or leaves it null when the argument was not given.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "boundary/pyerr.h"
#include "py.h"

namespace quelvane::python {

struct SignatureView {
  std::string_view cls;
  std::string_view name;
  std::span<const std::string_view> positional;
  std::size_t required;  // the first `required` positional parameters have no default
  std::span<const std::string_view> keyword_only;

  std::size_t size() const { return positional.size() + keyword_only.size(); }
  std::string_view param(std::size_t slot) const {
    return slot < positional.size() ? positional[slot] : keyword_only[slot - positional.size()];
  }
  // "Class.method()", as messages name the callee.
  std::string full_name() const;
};

template <std::size_t P, std::size_t K = 0>
struct Signature {
  static constexpr std::size_t size = P + K;

  const char* cls;
  const char* name;
  std::array<std::string_view, P> positional;
  std::size_t required = P;
  std::array<std::string_view, K> keyword_only{};

  constexpr SignatureView view() const { return {cls, name, positional, required, keyword_only}; }
};

// The fast-call form: positional values, then the values of the keywords named by kwnames.
PyStatus match_fastcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        std::span<PyObject*> slots);

// The tuple-and-dictionary form of the constructor slots (kwargs may be null).
PyStatus match_tuple_dict(const SignatureView& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_list(std::span<const std::string_view> names);

}  // namespace quelvane::python
