#pragma once

namespace kelvane {

// Common (empty) base of the engine's classes.
class TSynthClass {
 public:
  virtual ~TSynthClass() = default;
};

}  // namespace kelvane
