// The metadata methods of RawFileReader.
#include "lib/binding.hpp"
#include "lib/methods.hpp"

namespace velmaro::py {

namespace {
constexpr Signature kGetRt{"get_rt", "scan_number"};
constexpr Signature kGetInjectionTime{"get_injection_time", "scan_number"};
constexpr Signature kGetMasterScan{"get_master_scan", "scan_number"};
constexpr Signature kGetChargeState{"get_charge_state", "scan_number"};
constexpr Signature kGetMonoisotopicMz{"get_monoisotopic_mz", "scan_number"};
constexpr Signature kGetTrailerExtra{"get_trailer_extra", "scan_number"};
constexpr Signature kGetInstrumentMethod{"get_instrument_method", "_index"};

// Scan number n is element n - 1 of a cache; 0 and numbers past the end of
// the cache give the zero of its type.
template <auto Cache>
PyObject* cached(const RawFileReader& reader, uint32_t scan_number) {
  const auto& cache = reader.*Cache;
  return to_py(cached_value(cache, scan_number));
}
}  // namespace

PyObject* get_rt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetRt, self, args, nargs, kwnames, cached<&RawFileReader::rt_cache>);
}
PyObject* get_injection_time(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetInjectionTime, self, args, nargs, kwnames, cached<&RawFileReader::injection_time_cache>);
}
PyObject* get_master_scan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetMasterScan, self, args, nargs, kwnames, cached<&RawFileReader::master_scan_cache>);
}
PyObject* get_charge_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetChargeState, self, args, nargs, kwnames, cached<&RawFileReader::charge_cache>);
}
PyObject* get_monoisotopic_mz(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetMonoisotopicMz, self, args, nargs, kwnames, cached<&RawFileReader::mono_mz_cache>);
}
PyObject* get_trailer_extra(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetTrailerExtra, self, args, nargs, kwnames,
                    [](const RawFileReader&, uint32_t) { return PyDict_New(); });
}
PyObject* get_instrument_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetInstrumentMethod, self, args, nargs, kwnames,
                    [](const RawFileReader&, uint32_t) { return to_py(std::string_view()); });
}
PyObject* get_status_log_labels(PyObject* self, PyObject*) {
  return shared_method(self, [](const RawFileReader&) { return PyList_New(0); });
}
PyObject* get_error_logs(PyObject* self, PyObject*) {
  return shared_method(self, [](const RawFileReader&) { return PyList_New(0); });
}

}  // namespace velmaro::py
