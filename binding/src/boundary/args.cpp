#include "boundary/args.h"

#include <algorithm>
#include <vector>

#include "util/text.h"

namespace quelvane::python {

namespace {

PyStatus check_positional_count(const SignatureView& sig, std::size_t given) {
  const std::size_t max = sig.positional.size();
  if (given <= max) return {};
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == max)
    return type_error(text::cat(sig.full_name(), " takes ", max, " positional arguments but ", given, " ", verb,
                                " given"));
  return type_error(text::cat(sig.full_name(), " takes from ", sig.required, " to ", max,
                              " positional arguments but ", given, " ", verb, " given"));
}

// Keyword-only names are searched first, then the positional ones, comparing UTF-8 bytes.
PyStatus place_keyword(const SignatureView& sig, PyObject* name, PyObject* value, std::span<PyObject*> slots) {
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &len);
  if (utf8 == nullptr) return fetched();
  const std::string_view key(utf8, static_cast<std::size_t>(len));
  std::size_t slot = slots.size();
  for (std::size_t k = 0; k < sig.keyword_only.size(); ++k)
    if (sig.keyword_only[k] == key) slot = sig.positional.size() + k;
  if (slot == slots.size())
    for (std::size_t p = 0; p < sig.positional.size(); ++p)
      if (sig.positional[p] == key) slot = p;
  if (slot == slots.size())
    return type_error(text::cat(sig.full_name(), " got an unexpected keyword argument '", key, "'"));
  if (slots[slot] != nullptr)
    return type_error(text::cat(sig.full_name(), " got multiple values for argument '", key, "'"));
  slots[slot] = value;
  return {};
}

PyStatus check_required(const SignatureView& sig, std::span<PyObject*> slots) {
  if (std::all_of(slots.begin(), slots.begin() + static_cast<std::ptrdiff_t>(sig.required),
                  [](const PyObject* slot) { return slot != nullptr; }))
    return {};
  std::vector<std::string_view> missing;
  for (std::size_t p = 0; p < sig.required; ++p)
    if (slots[p] == nullptr) missing.push_back(sig.positional[p]);
  if (missing.empty()) return {};
  return type_error(text::cat(sig.full_name(), " missing ", missing.size(), " required positional ",
                              missing.size() == 1 ? "argument" : "arguments", ": ", quoted_list(missing)));
}

}  // namespace

std::string SignatureView::full_name() const { return text::cat(cls, ".", name, "()"); }

std::string quoted_list(std::span<const std::string_view> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    out += text::cat("'", names[i], "'");
    if (i + 1 == names.size()) break;
    if (names.size() > 2) out += ",";
    out += i + 2 == names.size() ? " and " : " ";
  }
  return out;
}

PyStatus match_fastcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        std::span<PyObject*> slots) {
  const auto given = static_cast<std::size_t>(nargs);
  QV_PY_TRY(check_positional_count(sig, given));
  for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    if (nkw < 0) return fetched();
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* name = PyTuple_GetItem(kwnames, k);
      if (name == nullptr) return fetched();
      QV_PY_TRY(place_keyword(sig, name, args[nargs + k], slots));
    }
  }
  return check_required(sig, slots);
}

PyStatus match_tuple_dict(const SignatureView& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return fetched();
  const auto given = static_cast<std::size_t>(nargs);
  QV_PY_TRY(check_positional_count(sig, given));
  for (std::size_t i = 0; i < given; ++i) {
    PyObject* item = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    if (item == nullptr) return fetched();
    slots[i] = item;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) QV_PY_TRY(place_keyword(sig, name, value, slots));
  }
  return check_required(sig, slots);
}

}  // namespace quelvane::python
