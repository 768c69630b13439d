#pragma once

#include <type_traits>

#include "bindings/python.hpp"
#include "engine/typed_engine.hpp"

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

 private:
  PyThreadState* saved_;
};

// Runs one engine call with the lock released, where its numerical work belongs (the private pool
// or the calling thread), and returns its result once the lock is held again.
template <class T, class Job>
std::invoke_result_t<Job&> compute_unlocked(const TypedEngine<T>& engine, Job&& job) {
  UnlockedInterpreter unlocked;
  return run_on_engine_threads(engine, job);
}

}  // namespace quillfen::bindings
