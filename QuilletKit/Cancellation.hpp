#pragma once
// The error by which a cancelled long operation ends (a stop token fired).
#include <exception>

namespace quillet {

class CancellationError : public std::exception {
 public:
  const char* what() const noexcept override { return "cancelado"; }
};

}  // namespace quillet
