// The method table of BinArchive.
#pragma once

#include "py_ref.h"

namespace orvane::py {

/// The interpreter's view of the method table, sentinel-terminated.
PyMethodDef* method_table() noexcept;

}  // namespace orvane::py
