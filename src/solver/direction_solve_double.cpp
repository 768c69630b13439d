// The direction solve for double alone: its decompositions are the slowest code of the core to
// compile, and the two element types build in parallel.
#include "solver/decompositions.hpp"

namespace quillfen {

template Expected<bool> solve_direction<double>(std::span<const double>, std::span<const double>,
                                                std::size_t, std::span<double>);

}  // namespace quillfen
