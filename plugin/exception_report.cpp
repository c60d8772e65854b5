#include "plugin/exception_report.h"

#include <atomic>
#include <cstdio>

namespace kelvane {

namespace {
std::atomic<TExceptionReportSink> ReportSink{nullptr};
}

void SetExceptionReportSink(TExceptionReportSink sink) { ReportSink.store(sink); }

void DoHandleException(const std::exception& E) {
  if (TExceptionReportSink sink = ReportSink.load(); sink != nullptr && sink(E)) return;
  std::fprintf(stderr, "Kelvane: exception: %s\n", E.what());
  std::fflush(stderr);
}

void DoHandleUnknownException() {
  std::fprintf(stderr, "Kelvane: exception: unknown exception object\n");
  std::fflush(stderr);
}

}  // namespace kelvane
