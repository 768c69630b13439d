#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace quillfen {

// ln(max(n_features_in, 2)): the log-dimension factor that the loss's smoothing bandwidth and the
// penalty's level both scale with.
inline double log_dimension(std::uint64_t n_features_in) {
  return std::log(double(std::max<std::uint64_t>(n_features_in, 2)));
}

}  // namespace quillfen
