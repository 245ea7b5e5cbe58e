// The peak methods of RawFileReader.
#include "lib/binding.hpp"
#include "lib/methods.hpp"

namespace velmaro::py {

namespace {
constexpr Signature kGetPeaks{"get_peaks", "scan_num"};
constexpr Signature kNativeGetPeaks{"native_get_peaks", "scan_num"};
}  // namespace

PyObject* get_peaks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetPeaks, self, args, nargs, kwnames, [](const RawFileReader&, uint32_t) { return none(); });
}

PyObject* native_get_peaks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kNativeGetPeaks, self, args, nargs, kwnames,
                    [](const RawFileReader&, uint32_t) { return none(); });
}

PyObject* list_spectra(PyObject* self, PyObject*) {
  return shared_method(self, [](const RawFileReader&) { return PyList_New(0); });
}

}  // namespace velmaro::py
