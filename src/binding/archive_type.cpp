// The static class BinArchive: not subclassable, no instance dict, no weak references,
// no GC (the object holds no Python references). tp_new builds the record in place.
#include "archive_type.h"

#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "call_frame.h"
#include "gil_release.h"
#include "methods.h"

namespace orvane::py {

static_assert(std::is_nothrow_move_constructible_v<BinArchive>,
              "new_archive_object relies on a move that cannot fail half-way");

namespace {

PyObject* archive_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
  // The arguments are deliberately ignored: BinArchive() always starts empty.
  return guarded([] { return new_archive_object(BinArchive()); });
}

// From this data size on, an archive is destroyed without the GIL: freeing a large
// archive's maps takes milliseconds, and with the GIL held that part of two threads'
// work on their own archives would run one after the other. The threshold is the one
// from_bytes gives up the GIL at.
constexpr std::uint64_t kUnlockedFree = 256 * 1024;

// The class has no finaliser and cannot be subclassed: nothing can resurrect an object.
void archive_dealloc(PyObject* self) noexcept {
  BinArchive& archive = reinterpret_cast<ArchiveObject*>(self)->archive;
  if (size(archive) < kUnlockedFree) {
    archive.~BinArchive();
    Py_TYPE(self)->tp_free(self);
    return;
  }
  // The record leaves the object first (the move cannot throw), so the object is gone
  // before the GIL is given up, and only plain C++ memory is freed without it.
  BinArchive doomed(std::move(archive));
  archive.~BinArchive();
  Py_TYPE(self)->tp_free(self);
  GilRelease unlocked;
  BinArchive freed(std::move(doomed));  // destroyed before the GIL is taken back
}

// The interpreter's own static types are written this way; the slots left out are
// deliberately unset (zero), which is what the missing-initializer warning flags.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject g_type = {PyVarObject_HEAD_INIT(nullptr, 0) "BinArchive"};
#pragma GCC diagnostic pop
bool g_ready = false;

}  // namespace

PyTypeObject* archive_type() noexcept {
  if (!g_ready) {
    if (!intern_parameter_names()) return nullptr;
    g_type.tp_basicsize = sizeof(ArchiveObject);
    g_type.tp_itemsize = 0;
    g_type.tp_flags = Py_TPFLAGS_DEFAULT;
    g_type.tp_doc = nullptr;
    g_type.tp_base = &PyBaseObject_Type;
    g_type.tp_new = archive_new;
    g_type.tp_dealloc = archive_dealloc;
    g_type.tp_methods = method_table();
    if (PyType_Ready(&g_type) < 0) return nullptr;
    g_ready = true;
  }
  return &g_type;
}

PyObject* to_python(BinArchive&& archive) {
  return new_archive_object(std::move(archive));
}

PyObject* new_archive_object(BinArchive&& archive) {
  PyTypeObject* type = archive_type();
  if (type == nullptr) return nullptr;
  allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* object = alloc(type, 0);
  if (object == nullptr) return nullptr;  // the archive is destroyed by our caller
  auto* self = reinterpret_cast<ArchiveObject*>(object);
  self->access_flag = 0;
  // Moving the vector and maps does not allocate, so this cannot throw half-way.
  new (&self->archive) BinArchive(std::move(archive));
  return object;
}

}  // namespace orvane::py
