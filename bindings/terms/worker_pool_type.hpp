#pragma once

#include <memory>
#include <mutex>

#include "bindings/interpreter_lock.hpp"
#include "bindings/python.hpp"
#include "parallel/thread_pool.hpp"

namespace quillfen::bindings {

// Memory layout of a WorkerPool instance: a private set of worker threads that the batch-term
// calls given this pool run in. `busy` lets one call at a time use the pool; it is taken only
// with the interpreter lock released, so a waiting call never blocks the interpreter.
// clang-format off
struct WorkerPoolObject {
  PyObject_HEAD
  std::shared_ptr<parallel::ThreadPool> pool;
  std::mutex busy;
};
// clang-format on

// The WorkerPool class, created once per process; nullptr with an exception set on failure.
PyObject* worker_pool_type();

// The pool of a WorkerPool argument, or nullptr for None. Returns false with a TypeError set for
// anything else.
bool pool_argument(PyObject* value, WorkerPoolObject** pool);

// Runs `job` with the interpreter lock released (see compute_unlocked_in): in `pool` when it is
// not null, after waiting for the pool's earlier call to finish, else on the calling thread.
template <class Job>
std::invoke_result_t<Job&> run_unlocked(WorkerPoolObject* pool, Job&& job) {
  return compute_unlocked_in(nullptr, [&] {
    if (pool == nullptr) return job();
    const std::lock_guard<std::mutex> hold(pool->busy);
    return parallel::run_in_pool(*pool->pool, job);
  });
}

}  // namespace quillfen::bindings
