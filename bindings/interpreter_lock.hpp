#pragma once

#include "bindings/python.hpp"

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

}  // namespace quillfen::bindings
