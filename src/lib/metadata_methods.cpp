// The metadata methods of RawFileReader, over the scan caches and
// src/metadata.
#include <variant>

#include "lib/binding.hpp"
#include "lib/methods.hpp"
#include "metadata/metadata.hpp"

namespace velmaro::py {

namespace {
constexpr Signature kGetRt{"get_rt", "scan_number"};
constexpr Signature kGetInjectionTime{"get_injection_time", "scan_number"};
constexpr Signature kGetMasterScan{"get_master_scan", "scan_number"};
constexpr Signature kGetChargeState{"get_charge_state", "scan_number"};
constexpr Signature kGetMonoisotopicMz{"get_monoisotopic_mz", "scan_number"};
constexpr Signature kGetTrailerExtra{"get_trailer_extra", "scan_number"};
constexpr Signature kGetInstrumentMethod{"get_instrument_method", "_index"};

template <auto Cache>
PyObject* cached(const RawFileReader& reader, uint32_t scan_number) {
  return to_py(cached_value(reader.*Cache, scan_number));
}

PyObject* field_value(const TrailerField& field) {
  return std::visit([](const auto& value) { return py::to_py(value); }, field.value);
}

// A long scan asks between chunks whether a signal has arrived; Python's
// handler runs then, and if it raises (KeyboardInterrupt, or an alarm's
// exception), the scan stops and its exception is what the call raises.
bool signal_raised() { return PyErr_CheckSignals() != 0; }

template <class T>
PyObject* scan(Expected<T> (*read)(std::string_view, const ScanSettings&), const RawFileReader& reader) {
  ScanSettings settings;
  settings.interrupt = Interrupt(signal_raised);
  auto result = read(reader.path, settings);
  return result ? to_py(*result) : raise_error(result.error());
}

// The core decides the fields and their order; this only converts them.
PyObject* trailer_extra(const RawFileReader& reader, uint32_t scan_number) {
  const TrailerFields fields(reader, scan_number);
  if (!make_keys(g_state.trailer_keys, kTrailerKeyNames)) return api_call_failed();
  Ref dict(PyDict_New());
  if (!dict) return api_call_failed();
  for (const auto& field : fields) {
    if (!set_item(dict.get(), g_state.trailer_keys.key[static_cast<size_t>(field.key)], field_value(field))) {
      return nullptr;
    }
  }
  return dict.release();
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
  return u32_method(kGetTrailerExtra, self, args, nargs, kwnames, trailer_extra);
}
PyObject* get_instrument_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetInstrumentMethod, self, args, nargs, kwnames,
                    [](const RawFileReader& r, uint32_t) { return scan<std::string>(instrument_method, r); });
}
PyObject* get_status_log_labels(PyObject* self, PyObject*) {
  return shared_method(self,
                       [](const RawFileReader& r) { return scan<std::vector<std::string>>(status_log_labels, r); });
}
PyObject* get_error_logs(PyObject* self, PyObject*) {
  return shared_method(self, [](const RawFileReader& r) { return scan<std::vector<std::string>>(error_logs, r); });
}

}  // namespace velmaro::py
