#pragma once

// The crash report: its text, the "Exception" window's state and the hand-over
// of reports raised on threads that may not touch a window.

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kelvane {

inline constexpr const char* CrashReportSeparator = "==============================================================";
inline constexpr const char* ExceptionCaption = "Exception";
inline constexpr const char* CrashReportGroup = "Crash report";
inline constexpr const char* SaveButtonText = "S&ave";
inline constexpr const char* CloseButtonText = "&Close";
inline constexpr const char* SaveReportTitle = "Save crash report";
inline constexpr const char* SaveReportFilter = "Text files (*.txt)|*.txt";
inline constexpr const char* SaveReportDefaultExt = ".txt";
inline constexpr const char* SaveReportQuestion =
    "Do you want really save it? It may be that private informations are included.";
inline constexpr const char* CrashReportSubject = "Kelvane crash report";
inline constexpr const char* CrashReportAddress = "support@kelvane.invalid";

enum class TTextEncoding : uint8_t { UTF8, UTF16 };

// The eighteen entries; the trace may add lines at entry 17 or none.
std::vector<std::string> BuildCrashReportLines(const std::string& className, const std::string& message,
                                               const std::string& stackTrace);
// Readable class name of the dynamic type.
std::string ExceptionClassName(const std::exception& E);
std::string SaveRequestLine();
std::string ThankYouText();
// The saved file: request line, empty line, report; CRLF line ends, with a BOM.
std::string EncodeCrashReportFile(const std::vector<std::string>& lines, TTextEncoding encoding);

// What the "Exception" window shows and does; the window supplies the
// question box, the save dialog and the message box.
struct TFormException {
  std::vector<std::string> Lines;
  bool Closed = false;

  std::function<bool(const std::string& question)> Confirm;  // true for Yes
  // The chosen path and encoding; false when cancelled.
  std::function<bool(std::string& path, TTextEncoding& encoding)> RunSaveDialog;
  std::function<void(const std::string& text)> ShowInformation;

  std::string ReportText() const;
  // Returns true when a file was written.
  bool Save();
  void Close() { Closed = true; }
};

// Process-wide: collects reports from any thread; the user-interface thread
// takes them in its idle handler and shows them.
class TExceptionHandler {
 public:
  static TExceptionHandler& Instance();
  // False when no window can show the report (the caller logs it instead).
  bool IncomingException(const std::exception& E);
  bool IncomingReport(std::vector<std::string> lines);
  // Windows able to show reports register while open.
  void AttachWindow();
  void DetachWindow();
  bool TakePending(std::vector<std::string>& lines);
  size_t PendingCount();

 private:
  std::mutex fMutex;
  int32_t fWindows = 0;
  std::deque<std::vector<std::string>> fPending;
};

// Routes the plug-in's exception reports through the handler above.
void InstallCrashReportHandler();

}  // namespace kelvane
