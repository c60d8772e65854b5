#pragma once

// Where the plug-in's guarded entry points send an exception they caught.
// Until the crash-report window exists the report is appended to a report
// file (ExceptionReportPath) and written to stderr.

#include <exception>
#include <filesystem>

namespace kelvane {

void DoHandleException(const std::exception& E);

// The editor's crash report takes reports through this sink while a window
// can show them; it returns false otherwise and the report is logged here.
using TExceptionReportSink = bool (*)(const std::exception& E);
void SetExceptionReportSink(TExceptionReportSink sink);
// For a caught object that is not a std::exception.
void DoHandleUnknownException();

// $XDG_STATE_HOME/kelvane/crash-report.txt, else
// $HOME/.local/state/kelvane/crash-report.txt; empty when neither is set.
// On Windows %LOCALAPPDATA%\Kelvane\crash-report.txt.
std::filesystem::path ExceptionReportPath();
// Used when the report file above cannot be opened (/tmp, or the Windows temporary folder).
std::filesystem::path FallbackExceptionReportPath();

// Runs body; an exception is reported and fallback answered instead, so
// nothing thrown leaves through the host interface.
template <typename TResult, typename TBody>
TResult Guarded(TResult fallback, TBody&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& error) {
    DoHandleException(error);
  } catch (...) {
    DoHandleUnknownException();
  }
  return fallback;
}

}  // namespace kelvane
