#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quillfen {

// The engine's one error value. Kinds keep their order: the first five mean the caller's input
// or sizes are at fault, the next two that the numerical work failed. Interrupted is internal:
// the call was cancelled (Ctrl-C), and the surface raises whatever the interruption raised.
enum class ErrorKind : std::uint8_t {
  InvalidConfig = 0,
  InvalidState = 1,
  InvalidBatch = 2,
  SizeOverflow = 3,
  ScalarConversion = 4,
  LinearSolve = 5,
  NonFinite = 6,
  Interrupted = 7,
};

struct NativeError {
  ErrorKind kind;
  // Fixed message of the engine for the three Invalid* kinds (a string literal), else nullptr.
  const char* detail = nullptr;

  static NativeError invalid_config(const char* detail) {
    return {ErrorKind::InvalidConfig, detail};
  }
  static NativeError invalid_state(const char* detail) { return {ErrorKind::InvalidState, detail}; }
  static NativeError invalid_batch(const char* detail) { return {ErrorKind::InvalidBatch, detail}; }
  static NativeError size_overflow() { return {ErrorKind::SizeOverflow}; }
  static NativeError scalar_conversion() { return {ErrorKind::ScalarConversion}; }
  static NativeError linear_solve() { return {ErrorKind::LinearSolve}; }
  static NativeError non_finite() { return {ErrorKind::NonFinite}; }
  static NativeError interrupted() { return {ErrorKind::Interrupted}; }

  friend bool operator==(const NativeError&, const NativeError&);
};

// "Nothing, or the first failure": the result of every check.
using Status = std::optional<NativeError>;

// The text a caller sees, e.g. "invalid native batch: batch must contain at least one row".
std::string display(const NativeError& error);

// True for kinds caused by the caller's input (raised as ValueError), false for failed numerics.
inline bool is_input_error(ErrorKind kind) {
  return kind <= ErrorKind::ScalarConversion;
}

}  // namespace quillfen
