#pragma once

// Where the plug-in's guarded entry points send an exception they caught.
// Until the crash-report window exists the report goes to stderr.

#include <exception>

namespace kelvane {

void DoHandleException(const std::exception& E);
// For a caught object that is not a std::exception.
void DoHandleUnknownException();

}  // namespace kelvane
