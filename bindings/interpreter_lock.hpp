#pragma once

#include <type_traits>

#include "bindings/python.hpp"
#include "engine/typed_engine.hpp"
#include "parallel/cancellation.hpp"

namespace quillfen::bindings {

// Releases the interpreter lock for the lifetime of the object, so that other Python threads run
// while the engine computes. The lock is re-acquired on scope exit, exceptions included. Nothing
// inside the scope may touch a Python object.
class UnlockedInterpreter {
 public:
  UnlockedInterpreter() : saved_(PyEval_SaveThread()) {}
  ~UnlockedInterpreter() { PyEval_RestoreThread(saved_); }
  UnlockedInterpreter(const UnlockedInterpreter&) = delete;
  UnlockedInterpreter& operator=(const UnlockedInterpreter&) = delete;

  // Takes the lock back for a moment to run the Python handlers of signals that arrived (only the
  // main thread runs them). True when a handler raised, e.g. KeyboardInterrupt for Ctrl-C; that
  // exception stays pending until the call returns. Must run on the thread that released the lock.
  static bool signal_handler_raised(void* unlocked) {
    auto& self = *static_cast<UnlockedInterpreter*>(unlocked);
    PyEval_RestoreThread(self.saved_);
    const bool raised = PyErr_CheckSignals() != 0;
    self.saved_ = PyEval_SaveThread();
    return raised;
  }

 private:
  PyThreadState* saved_;
};

// Runs `job` with the lock released, in `pool` (the caller blocks until it is done) or, when
// `pool` is null, on the calling thread, whose parallel steps then use the process-wide pool;
// returns its result once the lock is held again. On the main thread, the only one that runs
// signal handlers, the call checks for signals every few hundredths of a second; when a handler
// raises, the call is cancelled, its result dropped, and Interrupted returned with that exception
// pending. The job's result type must be constructible from a NativeError.
template <class Job>
std::invoke_result_t<Job&> compute_unlocked_in(parallel::ThreadPool* pool, Job&& job) {
  auto run = [&] { return pool != nullptr ? parallel::run_in_pool(*pool, job) : job(); };
  if (!_PyOS_IsMainThread()) {
    UnlockedInterpreter unlocked;
    return run();
  }
  UnlockedInterpreter unlocked;
  parallel::Cancellation cancellation(&UnlockedInterpreter::signal_handler_raised, &unlocked);
  const parallel::CancellationScope scope(&cancellation);
  auto result = run();
  if (cancellation.requested()) return NativeError::interrupted();
  return result;
}

// compute_unlocked_in for one engine call: in the engine's private pool when it has one.
template <class T, class Job>
std::invoke_result_t<Job&> compute_unlocked(const TypedEngine<T>& engine, Job&& job) {
  return compute_unlocked_in(engine.private_pool.get(), job);
}

}  // namespace quillfen::bindings
