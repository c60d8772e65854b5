#include "plugin/exception_report.h"

#include <cstdio>

namespace kelvane {

void DoHandleException(const std::exception& E) {
  std::fprintf(stderr, "Kelvane: exception: %s\n", E.what());
  std::fflush(stderr);
}

void DoHandleUnknownException() {
  std::fprintf(stderr, "Kelvane: exception: unknown exception object\n");
  std::fflush(stderr);
}

}  // namespace kelvane
