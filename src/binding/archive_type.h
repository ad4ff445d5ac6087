// The Python object that embeds one archive record, and its static class object.
#pragma once

#include "bin_archive.h"
#include "py_ref.h"

namespace orvane::py {

/// One BinArchive instance: the header, the access flag and the embedded record.
struct ArchiveObject {
  PyObject ob_base;  // what PyObject_HEAD expands to
  /// 0: free; n > 0: n calls hold shared access; -1: one call holds exclusive access.
  Py_ssize_t access_flag;
  /// Constructed in place by new_archive_object, destroyed by the deallocator.
  BinArchive archive;
};

/// The class object, built and readied on first use; null with an error set on failure.
PyTypeObject* archive_type() noexcept;

/// A new BinArchive object that takes over `archive`; null with an error set.
PyObject* new_archive_object(BinArchive&& archive);

/// The result rule for a model function that returns an archive (from_bytes): the
/// other result rules are convert.h's.
PyObject* to_python(BinArchive&& archive);

}  // namespace orvane::py
