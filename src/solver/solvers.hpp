#pragma once

// Both solvers, templates over the element type, the loss and (for proximal gradient) the
// penalty. The update driver picks one by the penalty: damped Newton for a smooth objective,
// proximal gradient otherwise; both are compiled where the driver is instantiated.
#include "solver/newton.hpp"
#include "solver/proximal.hpp"
