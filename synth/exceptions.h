#pragma once

#include <stdexcept>
#include <string>

namespace kelvane {

// Base of every exception the engine raises.
class EKelvane : public std::runtime_error {
 public:
  explicit EKelvane(const std::string& message) : std::runtime_error(message) {}
};

// A wait for the render-thread pool took longer than 10 s.
class EKelvaneThreadTimeout : public EKelvane {
 public:
  EKelvaneThreadTimeout() : EKelvane("Thread wait timeout") {}
};

}  // namespace kelvane
