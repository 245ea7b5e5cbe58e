#include "lib/binding.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmaro::py {

namespace {

// Derived from BaseException so that `except Exception:` does not swallow it.
constexpr const char kPanicName[] = "pyo3_runtime.PanicException";
constexpr const char kPanicDoc[] =
    "\nThe exception raised when the module's native code has failed.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
static_assert(sizeof kPanicDoc - 1 == 235);

PyObject* panic_type() {
  return remember(g_state.panic_type, [] {
    PyObject* type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    if (type == nullptr) {
      PyErr_Print();
      std::fputs("Failed to initialize new exception type.\n", stderr);
      std::abort();
    }
    return type;
  });
}

std::string qualified_type_name(PyObject* obj) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name) {
    Py_ssize_t size;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) return std::string(utf8, size);
  }
  PyErr_Clear();
  return "<unknown>";
}

std::string full_name(const Signature& sig) {
  return std::string("RawFileReader.") + sig.function + "()";
}

PyObject* too_many_positional(const Signature& sig, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s takes 1 positional arguments but %zd were given", full_name(sig).c_str(),
               given);
  return nullptr;
}

PyObject* multiple_values(const Signature& sig) {
  PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", full_name(sig).c_str(),
               sig.parameter);
  return nullptr;
}

PyObject* unexpected_keyword(const Signature& sig, PyObject* name) {
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", full_name(sig).c_str(), name);
  return nullptr;
}

PyObject* missing_argument(const Signature& sig) {
  PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", full_name(sig).c_str(),
               sig.parameter);
  return nullptr;
}

bool names_parameter(const Signature& sig, PyObject* name) {
  if (!PyUnicode_Check(name)) return false;
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  return std::string_view(utf8, size) == sig.parameter;
}

// Binds one keyword argument; false with the error set.
bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject*& bound) {
  if (!names_parameter(sig, name)) {
    unexpected_keyword(sig, name);
    return false;
  }
  if (bound != nullptr) {
    multiple_values(sig);
    return false;
  }
  bound = value;
  return true;
}

// A conversion error that is exactly TypeError is reworded to name the
// argument; any other error passes unchanged.
void name_the_argument(const Signature& sig) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref first_type(type), first(value), first_traceback(traceback);
  Ref text(first ? PyObject_Str(first.get()) : nullptr);
  if (!text) return;
  Ref message(PyUnicode_FromFormat("argument '%s': %U", sig.parameter, text.get()));
  if (!message) return;
  Ref renamed(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!renamed) return;
  PyException_SetCause(renamed.get(), PyException_GetCause(first.get()));
  PyErr_SetObject(PyExc_TypeError, renamed.get());
}

std::atomic<Py_ssize_t>& access_flag(PyObject* self) {
  return reinterpret_cast<ReaderObject*>(self)->access;
}

bool is_reader(PyObject* self) {
  PyTypeObject* type = reader_type();
  if (type == nullptr) return false;
  if (PyObject_TypeCheck(self, type)) return true;
  const std::string name = qualified_type_name(self);
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'RawFileReader'", name.c_str());
  return false;
}

}  // namespace

// ---- failures --------------------------------------------------------------

namespace {

PyObject* raise_internal(std::string_view message, SourceLocation where) {
  // One write, so that the lines of processes sharing a pipe (pool workers)
  // cannot cut into it; and no allocation, for memory may have run out.
  char head[512];
  const int head_size = std::snprintf(head, sizeof head, "velmaro: internal failure at %s:%u:%u:\n", where.file_name(),
                                      static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()));
  char line_feed = '\n';
  iovec parts[] = {{head, static_cast<size_t>(std::clamp(head_size, 0, int{sizeof head} - 1))},
                   {const_cast<char*>(message.data()), message.size()},
                   {&line_feed, 1}};
  std::fflush(stderr);
  while (::writev(STDERR_FILENO, parts, 3) < 0 && errno == EINTR) {
  }
  PyErr_Clear();
  PyObject* type = panic_type();
  Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return nullptr;
  PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* os_error_type(int errnum) {
  switch (errnum) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EPERM:
    case EACCES: return PyExc_PermissionError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case EPIPE: return PyExc_BrokenPipeError;
    case EEXIST: return PyExc_FileExistsError;
    case EAGAIN: return PyExc_BlockingIOError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case EINTR: return PyExc_InterruptedError;
    default: return PyExc_OSError;
  }
}

PyObject* raise_io(const Error& error) {
  const std::string text = error.text();
  // One argument only, so errno, strerror and filename stay None.
  Ref message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!message) return nullptr;
  PyErr_SetObject(os_error_type(error.errnum), message.get());
  return nullptr;
}

}  // namespace

PyObject* raise_error(const Error& error) {
  switch (error.kind) {
    case Error::Kind::kIo:
      return raise_io(error);
    case Error::Kind::kInterrupted:
      // Only a signal handler asks a scan to stop, and its exception is set.
      if (PyErr_Occurred()) return nullptr;
      return raise_internal("interrupted without an exception", SourceLocation::current());
    case Error::Kind::kInternal:
      break;
  }
  return raise_internal(error.message, error.where);
}

PyObject* api_call_failed(SourceLocation where) {
  if (PyErr_Occurred()) PyErr_Print();
  return raise_error(Error::internal("Python API call failed", where));
}

// ---- arguments -------------------------------------------------------------

PyObject* bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 1) return too_many_positional(sig, nargs);
  PyObject* bound = nargs == 1 ? args[0] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      if (!bind_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], bound)) return nullptr;
    }
  }
  if (bound == nullptr) return missing_argument(sig);
  return bound;
}

PyObject* bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
  if (nargs > 1) return too_many_positional(sig, nargs);
  PyObject* bound = nargs == 1 ? PyTuple_GetItem(args, 0) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!bind_keyword(sig, name, value, bound)) return nullptr;
    }
  }
  if (bound == nullptr) return missing_argument(sig);
  return bound;
}

bool convert_u32(const Signature& sig, PyObject* obj, uint32_t& out) {
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) {
    name_the_argument(sig);
    return false;
  }
  if (static_cast<unsigned long>(value) >> 32 != 0) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<uint32_t>(value);
  return true;
}

bool convert_text(const Signature& sig, PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    const std::string name = qualified_type_name(obj);
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", name.c_str());
    name_the_argument(sig);
    return false;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) {
    name_the_argument(sig);
    return false;
  }
  out.assign(utf8, static_cast<size_t>(size));
  return true;
}

// ---- access ----------------------------------------------------------------

Access Access::shared_slow(PyObject* self) {
  if (!is_reader(self)) return Access(nullptr, false);
  auto& flag = access_flag(self);
  Py_ssize_t seen = flag.load();
  do {
    if (seen == -1) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return Access(nullptr, false);
    }
  } while (!flag.compare_exchange_weak(seen, seen + 1));
  Py_INCREF(self);
  return Access(reinterpret_cast<ReaderObject*>(self), false);
}

Access Access::exclusive(PyObject* self) {
  if (!is_reader(self)) return Access(nullptr, true);
  Py_ssize_t expected = 0;
  if (!access_flag(self).compare_exchange_strong(expected, -1)) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return Access(nullptr, true);
  }
  Py_INCREF(self);
  return Access(reinterpret_cast<ReaderObject*>(self), true);
}

// ---- results ---------------------------------------------------------------

PyObject* to_py(double value) {
  PyObject* obj = PyFloat_FromDouble(value);
  return obj != nullptr ? obj : api_call_failed();
}

PyObject* to_py(int32_t value) {
  PyObject* obj = PyLong_FromLong(value);
  return obj != nullptr ? obj : api_call_failed();
}

PyObject* to_py(uint32_t value) {
  PyObject* obj = PyLong_FromLong(static_cast<long>(value));
  return obj != nullptr ? obj : api_call_failed();
}

PyObject* to_py(int64_t value) {
  PyObject* obj = PyLong_FromLongLong(value);
  return obj != nullptr ? obj : api_call_failed();
}

PyObject* to_py(std::string_view utf8) {
  PyObject* obj = PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
  return obj != nullptr ? obj : api_call_failed();
}

PyObject* to_py(const std::vector<std::string>& texts) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return api_call_failed();
  for (size_t k = 0; k < texts.size(); ++k) {
    PyObject* item = to_py(std::string_view(texts[k]));
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item);
  }
  return list.release();
}

// Not Py_RETURN_NONE: the headers of CPython 3.12.0 to 3.12.? and 3.13.0
// define it without a new reference even for the 3.10 stable ABI, which
// under-counts None on the interpreters where None is not immortal.
PyObject* none() { return Py_NewRef(Py_None); }

bool set_item(PyObject* dict, PyObject* key, PyObject* value) {
  Ref owned(value);
  return owned && PyDict_SetItem(dict, key, owned.get()) == 0;
}

}  // namespace velmaro::py
