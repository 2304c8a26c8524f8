// Internal faults of the data model: the failures that are not results of an
// operation (the random source or the clock could not deliver).
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace korvanta {

// Thrown when an operation cannot complete for a reason outside its inputs.
// Callers do not handle it locally: the Python layer turns it into its
// internal-fault exception at the call boundary.
class Fault : public std::exception {
 public:
  explicit Fault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

}  // namespace korvanta
