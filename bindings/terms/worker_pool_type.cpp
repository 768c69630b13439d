// WorkerPool(n_threads): a private worker pool for the batch-term calls.

#include "bindings/terms/worker_pool_type.hpp"

#include <array>
#include <new>
#include <string>
#include <system_error>

#include "bindings/arguments.hpp"
#include "bindings/converters.hpp"
#include "bindings/errors.hpp"

namespace quillfen::bindings {
namespace {

constexpr std::array<const char*, 1> kPoolParameters = {"n_threads"};

PyObject* pool_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::array<PyObject*, 1> bound{};
    const Signature signature{"WorkerPool", kPoolParameters, 1};
    if (!bind_arguments(signature, args, kwargs, bound)) return nullptr;
    const std::optional<std::int64_t> count = to_i64(bound[0], "n_threads");
    if (!count) return nullptr;
    if (*count < 1 || std::uint64_t(*count) > parallel::kMaxWorkers) {
      PyErr_Format(PyExc_ValueError, "n_threads must be between 1 and %zu",
                   std::size_t(parallel::kMaxWorkers));
      return nullptr;
    }
    std::shared_ptr<parallel::ThreadPool> pool;
    try {
      pool = std::make_shared<parallel::ThreadPool>(
          std::size_t(*count), [](std::size_t i) { return "quillfen-sum-" + std::to_string(i); });
    } catch (const std::system_error& failure) {
      PyErr_Format(PyExc_RuntimeError, "failed to create the worker pool: %s", failure.what());
      return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<WorkerPoolObject*>(self);
    new (&object->pool) std::shared_ptr<parallel::ThreadPool>(std::move(pool));
    new (&object->busy) std::mutex();
    return self;
  });
}

void pool_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<WorkerPoolObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  object->busy.~mutex();
  object->pool.~shared_ptr();  // the workers exit once idle
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* get_n_threads(PyObject* self, void*) {
  return PyLong_FromSize_t(reinterpret_cast<WorkerPoolObject*>(self)->pool->num_threads());
}

PyGetSetDef kPoolProperties[] = {
    {"n_threads", get_n_threads, nullptr, "Number of worker threads.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kPoolSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(pool_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pool_dealloc)},
    {Py_tp_getset, kPoolProperties},
    {Py_tp_doc, const_cast<char*>("WorkerPool(n_threads)\n--\n\n"
                                  "A private pool of worker threads for the batch-term calls.")},
    {0, nullptr},
};

PyType_Spec kPoolSpec = {"quillfen._native_terms.WorkerPool", sizeof(WorkerPoolObject), 0,
                         Py_TPFLAGS_DEFAULT, kPoolSlots};

}  // namespace

PyObject* worker_pool_type() {
  static PyObject* type = nullptr;  // lives for the process, like the engine type
  if (type == nullptr) type = PyType_FromSpec(&kPoolSpec);
  return type;
}

bool pool_argument(PyObject* value, WorkerPoolObject** pool) {
  *pool = nullptr;
  if (value == nullptr || value == Py_None) return true;
  PyObject* type = worker_pool_type();
  if (type == nullptr) return false;
  if (!PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) {
    PyErr_SetString(PyExc_TypeError, "pool must be a WorkerPool or None");
    return false;
  }
  *pool = reinterpret_cast<WorkerPoolObject*>(value);
  return true;
}

}  // namespace quillfen::bindings
