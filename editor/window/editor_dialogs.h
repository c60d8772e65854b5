#pragma once

// The editor's dialogs drawn inside its own window: plain X11 has no native
// file dialog, and a modal window of our own would fight the host's.
// Each Draw runs inside an ImGui frame and answers true while the dialog is up.

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "banks/file_path.h"
#include "editor/crash_report.h"

namespace kelvane {

// "Description|*.a;*.b|Description|*.*" as (description, patterns) pairs.
struct TFileFilter {
  std::string Description;
  std::vector<std::string> Patterns;  // "*.sf2", "*.*", "*"
};
std::vector<TFileFilter> ParseFileFilter(const std::string& filter);
// Case-insensitive; "*.*" and "*" match every name.
bool FileFilterMatches(const TFileFilter& filter, const std::string& fileName);

class TFileDialog {
 public:
  enum class TMode { Open, Save };
  enum class TResult { None, Accepted, Cancelled };

  // Starts the dialog in directory (the current directory when empty).
  void Show(const std::string& title, const std::string& filter, const std::string& defaultExt, TMode mode,
            const std::string& directory = {});
  bool IsShown() const { return fShown; }
  // ImGui settles a new window and its keyboard focus over a few frames.
  bool NeedsFrame() const { return fShown && fFrames < 3; }
  // Accepted: Path() holds the chosen file (and Encoding() for save dialogs).
  TResult Draw();
  const std::string& Path() const { return fPath; }
  TTextEncoding Encoding() const { return fEncoding; }
  bool OffersEncoding = false;

  // The checks behind "OK", open to tests: the chosen path or an error text.
  bool Resolve(const std::string& typed, std::string& path, std::string& error) const;
  void ChangeDirectory(const std::string& directory);
  const std::vector<std::string>& Entries() const { return fEntries; }  // "name/" for folders
  // What a click on a folder entry does: a name opens that folder, a root
  // (listed at the top of a root) goes there.
  void OpenFolder(const std::string& entry);
  // The roots listed at a root besides its own: the other drives on Windows.
  std::function<std::vector<std::string>()> ListRoots = FileSystemRoots;

 private:
  void Reload();
  TResult Accept(const std::string& typed);

  bool fShown = false;
  std::string fTitle, fDefaultExt, fDirectory, fPath, fError, fOverwrite;
  TMode fMode = TMode::Open;
  std::vector<TFileFilter> fFilters;
  int32_t fFilterIndex = 0;
  std::vector<std::string> fEntries;
  char fTyped[1024] = {};
  bool fFocusTyped = false;
  int32_t fFrames = 0;
  TTextEncoding fEncoding = TTextEncoding::UTF8;
};

// The "Exception" window with its question, save dialog and thank-you message.
// Reports queue up; one is shown at a time.
class TCrashReportDialog {
 public:
  void Add(std::vector<std::string> lines);
  bool IsShown() const { return !fReports.empty(); }
  bool NeedsFrame() const { return fFrames < 3 || fSaveDialog.NeedsFrame(); }
  bool Draw();
  // Where the save dialog starts (tests point it at the build tree).
  std::string SaveDirectory;

 private:
  enum class TStep { Report, Confirm, SaveDialog, Message };
  std::deque<TFormException> fReports;
  TStep fStep = TStep::Report;
  int32_t fFrames = 0;  // since the last step
  std::string fMessage;
  std::string fText;  // the shown report, kept for ImGui's read-only text field
  TFileDialog fSaveDialog;
};

}  // namespace kelvane
