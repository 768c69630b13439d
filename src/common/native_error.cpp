#include "common/native_error.hpp"

#include <cstring>

namespace quillfen {

bool operator==(const NativeError& a, const NativeError& b) {
  if (a.kind != b.kind) return false;
  if (a.detail == nullptr || b.detail == nullptr) return a.detail == b.detail;
  return std::strcmp(a.detail, b.detail) == 0;
}

std::string display(const NativeError& error) {
  const auto with_detail = [&](const char* prefix) {
    return std::string(prefix) + (error.detail != nullptr ? error.detail : "");
  };
  switch (error.kind) {
    case ErrorKind::InvalidConfig:
      return with_detail("invalid native configuration: ");
    case ErrorKind::InvalidState:
      return with_detail("invalid native state: ");
    case ErrorKind::InvalidBatch:
      return with_detail("invalid native batch: ");
    case ErrorKind::SizeOverflow:
      return "native buffer size overflow";
    case ErrorKind::ScalarConversion:
      return "native scalar conversion failed";
    case ErrorKind::LinearSolve:
      return "native linear solve failed";
    case ErrorKind::NonFinite:
      return "native calculation produced a non-finite value";
    case ErrorKind::Interrupted:
      return "native call interrupted";
  }
  return "native error";
}

}  // namespace quillfen
