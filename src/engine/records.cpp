#include "engine/records.hpp"

namespace quillfen {

std::optional<Penalty> parse_penalty(std::string_view text) {
  if (text == "none") return Penalty::None;
  if (text == "l1") return Penalty::L1;
  return std::nullopt;
}

}  // namespace quillfen
