#include "plugin/exception_report.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

namespace kelvane {

namespace {

std::atomic<TExceptionReportSink> ReportSink{nullptr};

// Appends one line to the report file, or to the fallback when that cannot be opened.
void AppendToReportFile(const std::string& line) {
  std::filesystem::path path = ExceptionReportPath();
  std::ofstream file;
  if (!path.empty()) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    file.open(path, std::ios::app);
  }
  if (!file.is_open()) file.open(FallbackExceptionReportPath(), std::ios::app);
  if (file.is_open()) file << line << '\n';
}

// Never throws: it runs inside the handlers that keep exceptions away from the host.
void Report(const char* message) noexcept {
  char stamp[32] = "?";
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
#if defined(_WIN32)
  if (gmtime_s(&utc, &now) == 0) std::strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%SZ", &utc);
#else
  if (gmtime_r(&now, &utc) != nullptr) std::strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%SZ", &utc);
#endif

  std::fprintf(stderr, "Kelvane: exception: %s\n", message);
  std::fflush(stderr);
  try {
    AppendToReportFile(std::string(stamp) + " Kelvane: exception: " + message);
  } catch (...) {
    // Out of memory while building a path: stderr has the report.
  }
}

}  // namespace

#if defined(_WIN32)
std::filesystem::path ExceptionReportPath() {
  // The wide variable: the narrow one is in the ANSI code page.
  const wchar_t* value = _wgetenv(L"LOCALAPPDATA");
  const std::filesystem::path base(value != nullptr ? value : L"");
  if (base.empty() || base.is_relative()) return {};
  return base / "Kelvane" / "crash-report.txt";
}

std::filesystem::path FallbackExceptionReportPath() {
  std::error_code error;
  const std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
  return (error ? std::filesystem::path(".") : temporary) / "kelvane-crash-report.txt";
}
#else
namespace {
std::string EnvironmentText(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

std::filesystem::path ExceptionReportPath() {
  // Relative values are ignored, as the base directory rules ask.
  std::filesystem::path base(EnvironmentText("XDG_STATE_HOME"));
  if (base.empty() || base.is_relative()) {
    const std::filesystem::path home(EnvironmentText("HOME"));
    if (home.empty() || home.is_relative()) return {};
    base = home / ".local" / "state";
  }
  return base / "kelvane" / "crash-report.txt";
}

std::filesystem::path FallbackExceptionReportPath() {
  return std::filesystem::path("/tmp") / "kelvane-crash-report.txt";
}
#endif

void SetExceptionReportSink(TExceptionReportSink sink) { ReportSink.store(sink); }

void DoHandleException(const std::exception& E) {
  if (TExceptionReportSink sink = ReportSink.load(); sink != nullptr && sink(E)) return;
  const char* message = "?";
  try {
    message = E.what();
  } catch (...) {
  }
  Report(message);
}

void DoHandleUnknownException() { Report("unknown exception object"); }

}  // namespace kelvane
