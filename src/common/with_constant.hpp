#pragma once

#include <cstddef>
#include <type_traits>

namespace quillfen {

// run(std::integral_constant<std::size_t, N>{}) for the N in [Low, High) that equals `value`, and
// true; false, running nothing, when none does. Turns a size known at run time into a template
// argument, so that a kernel for a few narrow widths is compiled with its width as a constant.
template <std::size_t Low, std::size_t High, class Run>
bool with_constant(std::size_t value, Run&& run) {
  if constexpr (Low < High) {
    if (value == Low) {
      run(std::integral_constant<std::size_t, Low>{});
      return true;
    }
    return with_constant<Low + 1, High>(value, run);
  } else {
    return false;
  }
}

}  // namespace quillfen
