// NumPy arrays over memory the module owns.  The NumPy C API is loaded on
// the first array, never at import, so that everything else works without
// NumPy installed.
#pragma once

#include <vector>

#include "lib/binding.hpp"

namespace velmaro::py {

// A one-dimensional float64 / float32 array over the vector's buffer,
// without copying: a capsule that owns the vector is the array's base.
// nullptr with PanicException set on failure.
PyObject* array_over(std::vector<double>&& values);
PyObject* array_over(std::vector<float>&& values);

}  // namespace velmaro::py
