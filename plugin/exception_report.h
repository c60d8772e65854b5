#pragma once

// Where the plug-in's guarded entry points send an exception they caught.
// Until the crash-report window exists the report goes to stderr.

#include <exception>

namespace kelvane {

void DoHandleException(const std::exception& E);

// The editor's crash report takes reports through this sink while a window
// can show them; it returns false otherwise and the report is logged here.
using TExceptionReportSink = bool (*)(const std::exception& E);
void SetExceptionReportSink(TExceptionReportSink sink);
// For a caught object that is not a std::exception.
void DoHandleUnknownException();

}  // namespace kelvane
