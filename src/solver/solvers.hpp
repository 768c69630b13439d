#pragma once

// Both solvers, compiled once for each element type in solvers.cpp.
#include "solver/newton.hpp"
#include "solver/proximal.hpp"

namespace quillfen {

#define QUILLFEN_SOLVERS(EXTERN, T)                                                           \
  EXTERN template Expected<SolverOutcome<T>> solve_newton<T>(                                 \
      Workspace<T>&, const BatchView<T>&, const EngineState<T>&, const UpdateConfig&, double, \
      double, double);                                                                        \
  EXTERN template Expected<SolverOutcome<T>> solve_proximal<T>(                               \
      Workspace<T>&, const BatchView<T>&, const EngineState<T>&, const UpdateConfig&, double, \
      double, double);
QUILLFEN_SOLVERS(extern, float)
QUILLFEN_SOLVERS(extern, double)

}  // namespace quillfen
