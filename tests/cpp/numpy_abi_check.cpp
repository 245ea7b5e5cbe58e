// The module declares the few NumPy C-API facts it uses instead of including
// NumPy's headers (which would tie the binary to one NumPy generation).  This
// checks those facts against the headers of the NumPy on this machine.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cstdio>

static_assert(NPY_FLOAT == 11);
static_assert(NPY_DOUBLE == 12);
static_assert(NPY_ARRAY_WRITEABLE == 0x0400);

int main() {
  // A table of distinct markers: each API macro must pick the expected slot.
  static void* table[400];
  for (auto& slot : table) slot = &slot;
  PyArray_API = table;
  int failures = 0;
  auto expect = [&](const void* got, int index, const char* name) {
    if (got != table[index]) {
      std::printf("%s is not entry %d of the API table\n", name, index);
      ++failures;
    }
  };
  expect(&PyArray_Type, 2, "PyArray_Type");
  expect(reinterpret_cast<const void*>(PyArray_DescrFromType), 45, "PyArray_DescrFromType");
  expect(reinterpret_cast<const void*>(PyArray_NewFromDescr), 94, "PyArray_NewFromDescr");
  expect(reinterpret_cast<const void*>(PyArray_SetBaseObject), 282, "PyArray_SetBaseObject");
  return failures == 0 ? 0 : 1;
}
