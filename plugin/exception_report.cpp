#include "plugin/exception_report.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace kelvane {

namespace {

std::atomic<TExceptionReportSink> ReportSink{nullptr};

std::FILE* OpenReportFile() {
  std::filesystem::path path = ExceptionReportPath();
  if (!path.empty()) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (std::FILE* file = std::fopen(path.c_str(), "a")) return file;
  }
  return std::fopen(FallbackExceptionReportPath().c_str(), "a");
}

// Never throws: it runs inside the handlers that keep exceptions away from the host.
void Report(const char* message) noexcept {
  char stamp[32] = "?";
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  if (gmtime_r(&now, &utc) != nullptr) std::strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%SZ", &utc);

  std::fprintf(stderr, "Kelvane: exception: %s\n", message);
  std::fflush(stderr);
  try {
    if (std::FILE* file = OpenReportFile()) {
      std::fprintf(file, "%s Kelvane: exception: %s\n", stamp, message);
      std::fclose(file);
    }
  } catch (...) {
    // Out of memory while building a path: stderr has the report.
  }
}

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
