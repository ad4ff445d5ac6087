// The generic glue that turns a table row (conversions + model function) into the
// call the frame runs: converting the arguments, calling the model, building the result.
#pragma once

#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "archive_type.h"
#include "call_frame.h"
#include "convert.h"
#include "errors.h"
#include "gil_release.h"

namespace orvane::py {

template <typename T>
struct IsResult : std::false_type {};
template <typename T>
struct IsResult<Result<T>> : std::true_type {};

/// A model result becomes a Python object, or a ValueError carrying the model's message.
template <typename T>
PyObject* finish(T&& outcome) {
  using Plain = std::decay_t<T>;
  if constexpr (IsResult<Plain>::value) {
    if (!outcome.ok()) {
      const std::string& message = outcome.error().message;
      raise_value_error(message.data(), static_cast<Py_ssize_t>(message.size()));
      return nullptr;
    }
    return checked_result(to_python(std::move(outcome).value()));
  } else {
    return checked_result(to_python(std::forward<T>(outcome)));
  }
}

/// The glue for one row: convert each argument in parameter order (stopping at the first
/// failure), call `Model` with the archive and the values, convert its result. Nothing
/// of the archive is touched until every argument has converted, because conversions
/// can run Python code.
template <auto Model, bool kHasArchive, typename... Conv>
struct Bind {
  /// One argument per conversion; the method table checks it against the row.
  static constexpr std::size_t kArity = sizeof...(Conv);

  static PyObject* invoke(PyObject* self, const PyRef* args) {
    return call(self, args, std::index_sequence_for<Conv...>{});
  }

 private:
  template <std::size_t... I>
  static PyObject* call(PyObject* self, const PyRef* args, std::index_sequence<I...>) {
    (void)args;
    std::tuple<typename Conv::type...> values;
    if (!(Conv::convert(args[I].get(), std::get<I>(values)) && ...)) return nullptr;
    if constexpr (kHasArchive) {
      auto& archive = reinterpret_cast<ArchiveObject*>(self)->archive;
      return finish(Model(archive, std::move(std::get<I>(values))...));
    } else {
      (void)self;
      return finish(Model(std::move(std::get<I>(values))...));
    }
  }
};

/// The glue for loading: like Static<Model, Bytes>, but the model runs without the GIL
/// when the input is at least `kUnlockedFrom` bytes, so threads can load in parallel.
/// The model touches no Python object, and the bytes object it reads is immutable and
/// held by the frame. Smaller inputs keep the GIL: handing it over costs more than they do.
template <auto Model, std::size_t kUnlockedFrom>
struct Load {
  static constexpr std::size_t kArity = 1;

  static PyObject* invoke(PyObject*, const PyRef* args) {
    Bytes::type input;
    if (!Bytes::convert(args[0].get(), input)) return nullptr;
    if (input.size < kUnlockedFrom) return finish(Model(input));
    auto outcome = [&] {
      GilRelease unlocked;
      return Model(input);
    }();
    return finish(std::move(outcome));
  }
};

// A row's parameter list and its binder's conversions must agree one to one: the frame
// fills one slot per parameter and the binder reads one per conversion.
template <typename Binder, std::size_t N>
constexpr MethodRow row(const char* name, int flags, Access access, const Param (&params)[N]) {
  static_assert(N == Binder::kArity, "a row needs one parameter per conversion");
  return {name, flags, access, params, N, &Binder::invoke};
}
template <typename Binder>
constexpr MethodRow row(const char* name, Access access) {
  static_assert(Binder::kArity == 0, "a METH_NOARGS row takes no conversions");
  return {name, METH_NOARGS, access, nullptr, 0, &Binder::invoke};
}

/// A method of an instance: the model function takes the archive first.
template <auto Model, typename... Conv>
using Method = Bind<Model, true, Conv...>;
/// A static method: no instance, no access.
template <auto Model, typename... Conv>
using Static = Bind<Model, false, Conv...>;

}  // namespace orvane::py
