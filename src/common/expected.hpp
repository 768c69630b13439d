#pragma once

#include <utility>
#include <variant>

#include "common/native_error.hpp"

namespace quillfen {

// A value or the NativeError that prevented it: the result of every engine routine that builds
// something and can fail.
template <class V>
class Expected {
 public:
  Expected(V value) : content_(std::in_place_index<0>, std::move(value)) {}
  Expected(NativeError error) : content_(std::in_place_index<1>, error) {}

  bool has_value() const noexcept { return content_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  V& value() & { return std::get<0>(content_); }
  V&& value() && { return std::get<0>(std::move(content_)); }
  const V& value() const& { return std::get<0>(content_); }
  const NativeError& error() const { return std::get<1>(content_); }

 private:
  std::variant<V, NativeError> content_;
};

}  // namespace quillfen
