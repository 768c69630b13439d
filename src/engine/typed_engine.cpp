#include "engine/typed_engine.hpp"

namespace quillfen {

std::optional<ElementType> parse_dtype(std::string_view text) {
  if (text == "float32") return ElementType::Float32;
  if (text == "float64") return ElementType::Float64;
  return std::nullopt;
}

namespace {
template <class T>
TypedEngine<T> fresh_engine(std::uint64_t n_parameters) {
  TypedEngine<T> engine;
  engine.state = initial_state<T>(n_parameters);
  return engine;
}
}  // namespace

EngineVariant make_engine(ElementType type, std::uint64_t n_parameters) {
  if (type == ElementType::Float32) return fresh_engine<float>(n_parameters);
  return fresh_engine<double>(n_parameters);
}

}  // namespace quillfen
