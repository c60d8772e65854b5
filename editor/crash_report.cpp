#include "editor/crash_report.h"

#include <cxxabi.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <typeinfo>

#include "banks/stream.h"
#include "plugin/exception_report.h"

namespace kelvane {

std::vector<std::string> BuildCrashReportLines(const std::string& className, const std::string& message,
                                               const std::string& stackTrace) {
  std::vector<std::string> lines = {CrashReportSeparator, "", "Exception class:", "", className, "",
                                    CrashReportSeparator, "", "Exception message:", "", message, "",
                                    CrashReportSeparator, "", "Exception stack trace:", ""};
  size_t start = 0;
  while (start < stackTrace.size()) {
    size_t end = stackTrace.find('\n', start);
    if (end == std::string::npos) end = stackTrace.size();
    std::string line = stackTrace.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  lines.push_back("");
  return lines;
}

std::string ExceptionClassName(const std::exception& E) {
  const char* mangled = typeid(E).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                   std::free);
  std::string name = status == 0 && demangled ? demangled.get() : mangled;
  // Our own classes are reported without the namespace.
  if (name.rfind("kelvane::", 0) == 0) name.erase(0, 9);
  return name;
}

std::string SaveRequestLine() {
  return std::string("Please send this file with the subject \"") + CrashReportSubject + "\" to " +
         CrashReportAddress + ".";
}

std::string ThankYouText() {
  return std::string("Thank you! Please send the saved file with the subject \"") + CrashReportSubject +
         "\" to " + CrashReportAddress + ".";
}

namespace {

// UTF-8 to UTF-16LE; malformed bytes become U+FFFD.
void AppendUTF16(std::string& out, const std::string& text) {
  auto put = [&out](uint32_t unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  };
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    uint32_t c = s[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    uint32_t cp = 0xFFFD;
    if (len == 1) {
      cp = c;
    } else if (len > 1 && i + len <= n) {
      cp = c & (0xFF >> (len + 1));
      bool ok = true;
      for (size_t k = 1; k < len; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) ok = false;
        cp = (cp << 6) | (s[i + k] & 0x3F);
      }
      static constexpr uint32_t minimum[5] = {0, 0, 0x80, 0x800, 0x10000};
      if (!ok || cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    } else {
      len = 1;
    }
    if (cp == 0xFFFD && len > 1) {
      // Skip just the lead byte so a following valid sequence survives.
      bool ok = i + len <= n;
      for (size_t k = 1; ok && k < len; ++k) ok = (s[i + k] & 0xC0) == 0x80;
      if (!ok) len = 1;
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 | (cp >> 10));
      put(0xDC00 | (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
}

}  // namespace

std::string EncodeCrashReportFile(const std::vector<std::string>& lines, TTextEncoding encoding) {
  std::vector<std::string> all = {SaveRequestLine(), ""};
  all.insert(all.end(), lines.begin(), lines.end());
  std::string out;
  if (encoding == TTextEncoding::UTF8) {
    out = "\xEF\xBB\xBF";
    for (const auto& line : all) out += line + "\r\n";
  } else {
    out = "\xFF\xFE";
    for (const auto& line : all) AppendUTF16(out, line + "\r\n");
  }
  return out;
}

std::string TFormException::ReportText() const {
  std::string text;
  for (const auto& line : Lines) text += line + "\n";
  return text;
}

bool TFormException::Save() {
  if (!Confirm || !Confirm(SaveReportQuestion)) return false;
  std::string path;
  TTextEncoding encoding = TTextEncoding::UTF8;
  if (!RunSaveDialog || !RunSaveDialog(path, encoding) || path.empty()) return false;
  const std::string bytes = EncodeCrashReportFile(Lines, encoding);
  std::ofstream out(FileNamePath(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  // A failed write must not be thanked for.
  if (!out) {
    if (ShowInformation) ShowInformation("The crash report could not be written to \"" + path + "\".");
    return false;
  }
  if (ShowInformation) ShowInformation(ThankYouText());
  return true;
}

TExceptionHandler& TExceptionHandler::Instance() {
  static TExceptionHandler handler;
  return handler;
}

bool TExceptionHandler::IncomingException(const std::exception& E) {
  return IncomingReport(BuildCrashReportLines(ExceptionClassName(E), E.what(), ""));
}

bool TExceptionHandler::IncomingReport(std::vector<std::string> lines) {
  std::lock_guard guard(fMutex);
  if (fWindows <= 0) return false;
  fPending.push_back(std::move(lines));
  return true;
}

void TExceptionHandler::AttachWindow() {
  std::lock_guard guard(fMutex);
  ++fWindows;
}

void TExceptionHandler::DetachWindow() {
  std::lock_guard guard(fMutex);
  if (fWindows > 0) --fWindows;
}

bool TExceptionHandler::TakePending(std::vector<std::string>& lines) {
  std::lock_guard guard(fMutex);
  if (fPending.empty()) return false;
  lines = std::move(fPending.front());
  fPending.pop_front();
  return true;
}

size_t TExceptionHandler::PendingCount() {
  std::lock_guard guard(fMutex);
  return fPending.size();
}

void InstallCrashReportHandler() {
  SetExceptionReportSink([](const std::exception& E) { return TExceptionHandler::Instance().IncomingException(E); });
}

}  // namespace kelvane
