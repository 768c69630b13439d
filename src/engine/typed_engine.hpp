#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>

#include "engine/records.hpp"
#include "engine/workspace.hpp"
#include "parallel/thread_pool.hpp"

namespace quillfen {

// Everything one engine of element type T owns.
template <class T>
struct TypedEngine {
  Workspace<T> workspace;
  EngineState<T> state;  // the six persisted fields; the metadata fields are per call
  std::shared_ptr<parallel::ThreadPool> private_pool;  // null: the process-wide pool serves

  std::uint64_t n_parameters() const { return state.coefficients.size(); }
};

// The payload of one engine object: index 0 holds the 32-bit engine, index 1 the 64-bit one. The
// alternative never changes after construction.
using EngineVariant = std::variant<TypedEngine<float>, TypedEngine<double>>;

}  // namespace quillfen

namespace quillfen {

enum class ElementType : std::uint8_t { Float32, Float64 };

// Exactly "float32" or "float64": no case folding, no blanks, no aliases.
std::optional<ElementType> parse_dtype(std::string_view text);

// A fresh engine: zero summary, empty workspace, no private pool. Throws std::bad_alloc when the
// summary arrays cannot be allocated.
EngineVariant make_engine(ElementType type, std::uint64_t n_parameters);

inline ElementType element_type(const EngineVariant& engine) {
  return engine.index() == 0 ? ElementType::Float32 : ElementType::Float64;
}

inline const char* dtype_name(ElementType type) {
  return type == ElementType::Float32 ? "float32" : "float64";
}

}  // namespace quillfen
