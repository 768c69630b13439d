#include "bindings/engine_type.hpp"

#include <array>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "bindings/access.hpp"
#include "bindings/arguments.hpp"
#include "bindings/converters.hpp"
#include "bindings/engine_methods.hpp"
#include "bindings/engine_object.hpp"
#include "bindings/errors.hpp"
#include "common/checked_math.hpp"
#include "parallel/thread_pool.hpp"

namespace quillfen::bindings {
namespace {

constexpr std::array<const char*, 3> kConstructorParameters = {"dtype", "n_parameters",
                                                               "n_threads"};

std::shared_ptr<parallel::ThreadPool> build_private_pool(std::uint64_t requested) {
  return std::make_shared<parallel::ThreadPool>(
      parallel::capped_worker_count(requested),
      [](std::size_t index) { return "quillfen-cpu-" + std::to_string(index); });
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 3> bound{};
  const Signature signature{"NativeCpuEngine", kConstructorParameters, 2};
  if (!bind_arguments(signature, args, kwargs, bound)) return nullptr;

  // Every conversion comes before any value test.
  const auto dtype = to_text(bound[0], "dtype");
  if (!dtype) return nullptr;
  const auto n_parameters = to_u64(bound[1], "n_parameters");
  if (!n_parameters) return nullptr;
  std::optional<std::int64_t> n_threads;
  if (bound[2] != nullptr && bound[2] != Py_None) {
    n_threads = to_i64(bound[2], "n_threads");
    if (!n_threads) return nullptr;
  }

  const auto element = parse_dtype(*dtype);
  if (!element) {
    PyErr_SetString(PyExc_ValueError, "dtype must be exactly 'float32' or 'float64'");
    return nullptr;
  }
  if (*n_parameters == 0) {
    PyErr_SetString(PyExc_ValueError, "n_parameters must be positive");
    return nullptr;
  }
  if (!checked_mul(*n_parameters, *n_parameters)) {
    PyErr_SetString(PyExc_ValueError, "n_parameters is too large");
    return nullptr;
  }

  EngineVariant engine = make_engine(*element, *n_parameters);

  if (n_threads) {
    if (*n_threads < 1) {
      PyErr_SetString(PyExc_ValueError, "n_threads must be a positive integer");
      return nullptr;
    }
    std::shared_ptr<parallel::ThreadPool> pool;
    try {
      pool = build_private_pool(static_cast<std::uint64_t>(*n_threads));
    } catch (const std::system_error& failure) {
      PyErr_Format(PyExc_RuntimeError, "failed to create the native CPU thread pool: %s",
                   failure.code().message().c_str());
      return nullptr;
    }
    std::visit([&](auto& typed) { typed.private_pool = std::move(pool); }, engine);
  }

  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  EngineObject* object = as_engine(self);
  new (&object->engine) EngineVariant(std::move(engine));
  new (&object->access) AccessFlag();
  return self;
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_call<PyObject*>(nullptr, [&] { return construct(type, args, kwargs); });
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Frees the buffers, then drops the private pool handle: its workers exit once idle, and the
  // release does not wait for them.
  as_engine(self)->engine.~EngineVariant();
  as_engine(self)->access.~AccessFlag();
  type->tp_free(self);
  Py_DECREF(type);
}

// Reads one property under shared access.
template <class Read>
PyObject* read_property(PyObject* self, Read&& read) {
  return guard_call<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedAccess access(as_engine(self)->access);
    if (!access.acquired()) return nullptr;
    return read(as_engine(self)->engine);
  });
}

const parallel::ThreadPool* private_pool(const EngineVariant& engine) {
  return std::visit([](const auto& typed) { return typed.private_pool.get(); }, engine);
}

PyObject* get_dtype(PyObject* self, void*) {
  return read_property(self, [](const EngineVariant& engine) {
    return PyUnicode_FromString(dtype_name(element_type(engine)));
  });
}

PyObject* get_n_parameters(PyObject* self, void*) {
  return read_property(self, [](const EngineVariant& engine) {
    const std::uint64_t count = std::visit([](const auto& t) { return t.n_parameters(); }, engine);
    return PyLong_FromUnsignedLongLong(count);
  });
}

PyObject* get_n_threads(PyObject* self, void*) {
  return read_property(self, [](const EngineVariant& engine) {
    const parallel::ThreadPool* pool = private_pool(engine);
    const std::size_t count =
        pool != nullptr ? pool->num_threads() : parallel::current_num_threads();
    return PyLong_FromSize_t(count);
  });
}

PyObject* get_has_dedicated_thread_pool(PyObject* self, void*) {
  return read_property(self, [](const EngineVariant& engine) {
    return PyBool_FromLong(private_pool(engine) != nullptr);
  });
}

PyGetSetDef kProperties[] = {
    {"dtype", get_dtype, nullptr, nullptr, nullptr},
    {"n_parameters", get_n_parameters, nullptr, nullptr, nullptr},
    {"n_threads", get_n_threads, nullptr,
     "Effective number of worker threads available to this engine.", nullptr},
    {"has_dedicated_thread_pool", get_has_dedicated_thread_pool, nullptr,
     "Whether this engine owns a private thread pool instead of using global state.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastWithKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"update", as_method(engine_update), kFastWithKeywords,
     "update($self, x_design, y, sample_weight, batch_weight, n_features_in, fit_intercept, tau, "
     "penalty, lambda_scale, bandwidth_scale, max_iter, tol, ridge)\n--\n\n"},
    {"predict", as_method(engine_predict), kFastWithKeywords, "predict($self, x_design)\n--\n\n"},
    {"state", as_method(engine_state), METH_NOARGS, "state($self)\n--\n\n"},
    {"restore", as_method(engine_restore), kFastWithKeywords,
     "restore($self, coefficients, information, n_samples_seen, batch_count, previous_lambda, "
     "weight_sum)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kDoc[] =
    "NativeCpuEngine(dtype, n_parameters, n_threads=None)\n--\n\n"
    "Persistent CPU engine for incremental robust linear regression, with reusable numerical "
    "workspaces.";

PyType_Slot kTypeSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_getset, kProperties},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

unsigned int type_flags() {
  unsigned int flags = Py_TPFLAGS_DEFAULT;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
  flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
  return flags;
}

PyType_Spec kSpec = {
    "quillfen._native_cpu.NativeCpuEngine",
    static_cast<int>(sizeof(EngineObject)),
    0,
    type_flags(),
    kTypeSlots,
};

}  // namespace

PyObject* engine_type() {
  // Created under the interpreter lock on first use and never released.
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&kSpec);
  return type;
}

}  // namespace quillfen::bindings
