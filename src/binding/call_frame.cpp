// The generic call frame: access first, then the argument list, then the row's
// conversions and model call; every way out gives the access back and sets an error.
#include "call_frame.h"

#include <exception>
#include <new>
#include <string>

#include "archive_error.h"
#include "archive_type.h"

namespace orvane::py {

namespace {

/// Holds shared or exclusive access to one object for the length of a call. A call
/// made from Python code that runs during argument conversion meets the same flag.
class AccessGuard {
 public:
  AccessGuard() noexcept = default;
  AccessGuard(const AccessGuard&) = delete;
  AccessGuard& operator=(const AccessGuard&) = delete;
  ~AccessGuard() {
    if (self_ == nullptr) return;
    if (access_ == Access::kShared) {
      --self_->access_flag;
    } else {
      self_->access_flag = 0;
    }
  }

  /// False with SharedAccessError / ExclusiveAccessError set when refused.
  bool acquire(PyObject* object, Access access) noexcept {
    auto* self = reinterpret_cast<ArchiveObject*>(object);
    if (access == Access::kShared) {
      if (self->access_flag == -1) {
        raise_bare(shared_access_error_type());
        return false;
      }
      ++self->access_flag;
    } else {
      if (self->access_flag != 0) {
        raise_bare(exclusive_access_error_type());
        return false;
      }
      self->access_flag = -1;
    }
    self_ = self;
    access_ = access;
    return true;
  }

 private:
  ArchiveObject* self_ = nullptr;
  Access access_ = Access::kNone;
};

constexpr const char* kNameText[] = {"address", "amount", "index",           "value", "bytes",
                                     "labels",  "label",  "amount_in_bytes", "target"};
static_assert(sizeof(kNameText) / sizeof(kNameText[0]) == static_cast<std::size_t>(Name::kCount),
              "one text per parameter name");

/// The interned str of each name; filled once by intern_parameter_names and kept.
PyObject* g_names[static_cast<std::size_t>(Name::kCount)] = {};

const char* text_of(Name name) noexcept {
  return kNameText[static_cast<std::size_t>(name)];
}
PyObject* object_of(Name name) noexcept {
  return g_names[static_cast<std::size_t>(name)];
}

std::string call_name(const MethodRow& row) {
  return std::string("BinArchive.") + row.name + "()";
}

/// The unexpected-keyword message names the key by its str(); a key that is not valid
/// UTF-8 (a lone surrogate) is shown with U+FFFD in its place rather than failing.
bool raise_unexpected_keyword(const MethodRow& row, PyObject* key) {
  PyRef text = PyRef::steal(PyObject_Str(key));
  if (!text) return false;
  if (PyUnicode_AsUTF8AndSize(text.get(), nullptr) == nullptr) {
    PyErr_Clear();
    PyRef raw = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    if (!raw) return false;
    text = PyRef::steal(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
    if (!text) return false;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument: %U", call_name(row).c_str(),
               text.get());
  return false;
}

bool raise_multiple_values(const MethodRow& row, const Param& param) {
  PyErr_Format(PyExc_TypeError, "%s got multiple values for argument: %s", call_name(row).c_str(),
               text_of(param.name));
  return false;
}

bool raise_missing(const MethodRow& row, const Param& param) {
  PyErr_Format(PyExc_TypeError, "%s missing required positional argument: %s",
               call_name(row).c_str(), text_of(param.name));
  return false;
}

bool raise_too_many(const MethodRow& row, Py_ssize_t given) {
  const auto taken = static_cast<Py_ssize_t>(row.param_count);
  PyErr_Format(PyExc_TypeError, "%s takes at most %zd positional argument%s (%zd given)",
               call_name(row).c_str(), taken, taken == 1 ? "" : "s", given);
  return false;
}

/// The positional arguments of a call: the interpreter's array, no tuple.
struct Positional {
  PyObject* const* items;
  Py_ssize_t given;
};

/// The parameter loop once every keyword has been matched: `found[i]` is the keyword
/// value for parameter i or null. Same checks, same order, as with keywords looked up
/// one parameter at a time.
bool take_arguments(const MethodRow& row, Positional args, PyObject* const* found, PyRef* slots) {
  for (std::size_t i = 0; i < row.param_count; ++i) {
    const Param& param = row.params[i];
    const auto position = static_cast<Py_ssize_t>(i);
    if (found != nullptr && found[i] != nullptr) {
      if (position < args.given) return raise_multiple_values(row, param);
      slots[i] = PyRef::borrow(found[i]);
    } else if (position < args.given) {
      slots[i] = PyRef::borrow(args.items[position]);
    } else if (param.required) {
      return raise_missing(row, param);
    }
  }
  return true;
}

/// Keywords whose keys are all exact str, the case of every ordinary call: matching them
/// runs no Python code, so the caller's key names are read in place (in the order the
/// call gave them, which is a ** dictionary's order), each key compared with our
/// interned names by identity first (a keyword written in the call is the same interned
/// object) and by content only when that fails.
bool parse_exact_keywords(const MethodRow& row, Positional args, PyObject* kwnames, PyRef* slots) {
  constexpr std::size_t kMost = 8;  // more parameters than any row has
  PyObject* found[kMost] = {};
  if (row.param_count > kMost) throw Fault("A method row declares too many parameters.");
  PyObject* unexpected = nullptr;  // the first key no name takes
  PyObject* const* values = args.items + args.given;
  const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < count; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t match = row.param_count;
    for (std::size_t i = 0; i < row.param_count && match == row.param_count; ++i) {
      if (key == object_of(row.params[i].name)) match = i;
    }
    for (std::size_t i = 0; i < row.param_count && match == row.param_count; ++i) {
      if (PyUnicode_Compare(key, object_of(row.params[i].name)) == 0) match = i;
    }
    if (match < row.param_count) {
      found[match] = values[k];
    } else if (unexpected == nullptr) {
      unexpected = key;
    }
  }
  if (!take_arguments(row, args, found, slots)) return false;
  if (unexpected != nullptr) return raise_unexpected_keyword(row, unexpected);
  if (args.given > static_cast<Py_ssize_t>(row.param_count)) return raise_too_many(row, args.given);
  return true;
}

/// Keywords with a key that is not an exact str (a str subclass, whose __eq__ and
/// __hash__ are Python code): looked up one parameter at a time in a dictionary of the
/// keywords, which that code cannot change under us, exactly as the parameters are
/// declared.
bool parse_general_keywords(const MethodRow& row, Positional args, PyObject* keywords,
                            PyRef* slots) {
  for (std::size_t i = 0; i < row.param_count; ++i) {
    const Param& param = row.params[i];
    const auto position = static_cast<Py_ssize_t>(i);
    PyObject* key = object_of(param.name);
    PyObject* value = PyDict_GetItemWithError(keywords, key);
    if (value != nullptr) {
      if (position < args.given) return raise_multiple_values(row, param);
      slots[i] = PyRef::borrow(value);
      if (PyDict_DelItem(keywords, key) < 0) return false;
      continue;
    }
    if (PyErr_Occurred()) return false;
    if (position < args.given) {
      slots[i] = PyRef::borrow(args.items[position]);
    } else if (param.required) {
      return raise_missing(row, param);
    }
  }
  if (PyDict_GET_SIZE(keywords) != 0) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    PyDict_Next(keywords, &position, &key, &value);
    PyRef held = PyRef::borrow(key);  // str() of the key may run Python code
    return raise_unexpected_keyword(row, held.get());
  }
  if (args.given > static_cast<Py_ssize_t>(row.param_count)) return raise_too_many(row, args.given);
  return true;
}

bool has_keywords(PyObject* kwnames) noexcept {
  return kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0;
}

/// True when some key is not an exact str: only then can matching run Python code.
bool has_general_keys(PyObject* kwnames) noexcept {
  if (!has_keywords(kwnames)) return false;
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
    if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(kwnames, k))) return true;
  }
  return false;
}

/// The keywords as a new dictionary, for the general path. Hashing a key may run its
/// __hash__; that happens here, before the call takes access to the object.
PyRef keyword_dict(PyObject* const* args, Py_ssize_t given, PyObject* kwnames) {
  PyRef keywords = PyRef::steal(PyDict_New());
  if (!keywords) return keywords;
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
    if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, k), args[given + k]) < 0) {
      return PyRef();
    }
  }
  return keywords;
}

/// Fills one slot per parameter (a new reference, or null when an optional parameter
/// is absent). False with TypeError (or the interpreter's error) set. The caller's
/// arguments are never changed. `keywords` is the dictionary of the general path, or
/// null when every key is an exact str.
bool parse_arguments(const MethodRow& row, Positional args, PyObject* kwnames, PyObject* keywords,
                     PyRef* slots) {
  if (keywords != nullptr) return parse_general_keywords(row, args, keywords, slots);
  if (has_keywords(kwnames)) return parse_exact_keywords(row, args, kwnames, slots);
  if (!take_arguments(row, args, nullptr, slots)) return false;
  if (args.given > static_cast<Py_ssize_t>(row.param_count)) return raise_too_many(row, args.given);
  return true;
}

}  // namespace

bool intern_parameter_names() noexcept {
  for (std::size_t i = 0; i < static_cast<std::size_t>(Name::kCount); ++i) {
    if (g_names[i] == nullptr) g_names[i] = PyUnicode_InternFromString(kNameText[i]);
    if (g_names[i] == nullptr) return false;
  }
  return true;
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const Fault& fault) {
    raise_internal_fault(fault.what());
  } catch (...) {
    raise_internal_fault("Internal fault.");
  }
}

PyObject* run_call(const MethodRow& row, PyObject* self, PyObject* const* args, Py_ssize_t given,
                   PyObject* kwnames, PyRef* slots) noexcept {
  return guarded([&]() -> PyObject* {
    PyRef keywords;
    if (has_general_keys(kwnames)) {
      keywords = keyword_dict(args, given, kwnames);
      if (!keywords) return nullptr;
    }
    AccessGuard access;
    if (row.access != Access::kNone && !access.acquire(self, row.access)) return nullptr;
    if (!parse_arguments(row, {args, given}, kwnames, keywords.get(), slots)) return nullptr;
    return row.invoke(self, slots);
  });
}

}  // namespace orvane::py
