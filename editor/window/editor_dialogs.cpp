#include "editor/window/editor_dialogs.h"

#include <imgui/imgui.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "banks/file_path.h"
#include "editor/window/editor_layout.h"

namespace kelvane {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A dialog in the middle of the editor. Only the topmost one takes the focus:
// focusing another window each frame would cancel a click in progress.
bool BeginDialog(const char* title, float width, float height, bool topmost = true) {
  ImGui::SetNextWindowPos(ImVec2(EditorWidth * 0.5f, EditorHeight * 0.5f), ImGuiCond_Always, ImVec2(0.5f, 0.5f));
  ImGui::SetNextWindowSize(ImVec2(width, height), ImGuiCond_Always);
  if (topmost) ImGui::SetNextWindowFocus();
  // Opaque: the window behind must not show through the dialog's text.
  ImVec4 background = ImGui::GetStyleColorVec4(ImGuiCol_WindowBg);
  background.w = 1.0f;
  ImGui::PushStyleColor(ImGuiCol_WindowBg, background);
  const bool shown = ImGui::Begin(title, nullptr,
                                  ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoCollapse |
                                      ImGuiWindowFlags_NoSavedSettings);
  ImGui::PopStyleColor();
  return shown;
}

// Buttons right-aligned on the current line, in the order given; answers the one pressed or -1.
int RightButtons(std::initializer_list<const char*> labels) {
  const ImGuiStyle& style = ImGui::GetStyle();
  float total = 0;
  for (const char* label : labels) total += std::max(80.0f, ImGui::CalcTextSize(label).x + 2 * style.FramePadding.x);
  total += style.ItemSpacing.x * static_cast<float>(labels.size() - 1);
  ImGui::SetCursorPosX(ImGui::GetWindowContentRegionMax().x - total);
  int pressed = -1, index = 0;
  for (const char* label : labels) {
    if (index > 0) ImGui::SameLine();
    if (ImGui::Button(label, ImVec2(std::max(80.0f, ImGui::CalcTextSize(label).x + 2 * style.FramePadding.x), 0)))
      pressed = index;
    ++index;
  }
  return pressed;
}

}  // namespace

std::vector<TFileFilter> ParseFileFilter(const std::string& filter) {
  std::vector<TFileFilter> filters;
  const std::vector<std::string> parts = Split(filter, '|');
  for (size_t i = 0; i + 1 < parts.size(); i += 2) filters.push_back({parts[i], Split(parts[i + 1], ';')});
  if (filters.empty()) filters.push_back({"All files", {"*"}});
  return filters;
}

bool FileFilterMatches(const TFileFilter& filter, const std::string& fileName) {
  const std::string name = Lower(fileName);
  for (const std::string& raw : filter.Patterns) {
    const std::string pattern = Lower(raw);
    if (pattern == "*" || pattern == "*.*") return true;
    if (pattern.size() > 1 && pattern[0] == '*') {
      const std::string suffix = pattern.substr(1);
      if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        return true;
    } else if (pattern == name) {
      return true;
    }
  }
  return false;
}

// ------------------------------------------------------------ file dialog

void TFileDialog::Show(const std::string& title, const std::string& filter, const std::string& defaultExt,
                       TMode mode, const std::string& directory) {
  fShown = true;
  fTitle = title;
  fDefaultExt = defaultExt;
  fMode = mode;
  fFilters = ParseFileFilter(filter);
  fFilterIndex = 0;
  fPath.clear();
  fError.clear();
  fOverwrite.clear();
  fTyped[0] = '\0';
  fFocusTyped = true;
  fFrames = 0;
  std::error_code error;
  std::string start = directory;
  if (start.empty() || !fs::is_directory(FileSystemPath(start), error)) start = Utf8OfPath(fs::current_path(error));
  ChangeDirectory(start);
}

void TFileDialog::ChangeDirectory(const std::string& directory) {
  std::error_code error;
  fs::path path = fs::weakly_canonical(FileSystemPath(directory), error);
  if (error) path = FileSystemPath(directory);
  fDirectory = Utf8OfPath(path);
  Reload();
}

void TFileDialog::OpenFolder(const std::string& entry) {
  const fs::path folder = FileSystemPath(entry);
  if (folder.is_absolute())
    ChangeDirectory(entry);
  else
    ChangeDirectory(Utf8OfPath(FileSystemPath(fDirectory) / FileSystemPath(entry.substr(0, entry.size() - 1))));
}

void TFileDialog::Reload() {
  fEntries.clear();
  std::vector<std::string> folders, files;
  std::error_code error;
  for (fs::directory_iterator it(FileSystemPath(fDirectory), fs::directory_options::skip_permission_denied, error), end;
       !error && it != end; it.increment(error)) {
    const std::string name = Utf8OfPath(it->path().filename());
    if (name.empty() || name[0] == '.') continue;
    std::error_code kind;
    if (it->is_directory(kind))
      folders.push_back(name + "/");
    else if (fFilters.empty() || FileFilterMatches(fFilters[static_cast<size_t>(fFilterIndex)], name))
      files.push_back(name);
  }
  std::sort(folders.begin(), folders.end());
  std::sort(files.begin(), files.end());
  const fs::path here = FileSystemPath(fDirectory);
  if (here.has_relative_path()) {
    fEntries.push_back("../");
  } else {
    for (const std::string& root : ListRoots())
      if (FileSystemPath(root).lexically_normal() != here.root_path().lexically_normal()) fEntries.push_back(root);
  }
  fEntries.insert(fEntries.end(), folders.begin(), folders.end());
  fEntries.insert(fEntries.end(), files.begin(), files.end());
}

bool TFileDialog::Resolve(const std::string& typed, std::string& path, std::string& error) const {
  error.clear();
  if (typed.empty()) {
    error = "Choose a file.";
    return false;
  }
  fs::path chosen = FileSystemPath(typed);
  if (chosen.is_relative()) chosen = FileSystemPath(fDirectory) / chosen;
  std::error_code ignored;
  if (!chosen.has_extension() && !fDefaultExt.empty() &&
      (fMode == TMode::Save || !fs::exists(chosen, ignored)))
    chosen += fDefaultExt;
  path = Utf8OfPath(chosen);
  if (fMode == TMode::Open) {
    if (!fs::is_regular_file(chosen, ignored)) {
      error = "The file \"" + path + "\" does not exist.";
      return false;
    }
  } else if (!fs::is_directory(chosen.parent_path(), ignored)) {
    error = "The folder \"" + Utf8OfPath(chosen.parent_path()) + "\" does not exist.";
    return false;
  }
  return true;
}

TFileDialog::TResult TFileDialog::Accept(const std::string& typed) {
  std::error_code ignored;
  fs::path asFolder = FileSystemPath(typed);
  if (asFolder.is_relative()) asFolder = FileSystemPath(fDirectory) / asFolder;
  if (!typed.empty() && fs::is_directory(asFolder, ignored)) {
    ChangeDirectory(Utf8OfPath(asFolder));
    fTyped[0] = '\0';
    return TResult::None;
  }
  std::string path;
  if (!Resolve(typed, path, fError)) return TResult::None;
  if (fMode == TMode::Save && fs::exists(FileSystemPath(path), ignored) && fOverwrite != path) {
    fOverwrite = path;  // asks before overwriting
    return TResult::None;
  }
  fPath = path;
  fShown = false;
  return TResult::Accepted;
}

TFileDialog::TResult TFileDialog::Draw() {
  if (!fShown) return TResult::None;
  ++fFrames;
  TResult result = TResult::None;
  BeginDialog(fTitle.c_str(), 620, 440);
  ImGui::TextUnformatted("Look in:");
  ImGui::SameLine();
  ImGui::TextUnformatted(fDirectory.c_str());
  if (ImGui::BeginListBox("##entries", ImVec2(-1, 250))) {
    for (size_t i = 0; i < fEntries.size(); ++i) {
      const std::string& entry = fEntries[i];
      const bool folder = !entry.empty() && entry.back() == '/';
      if (ImGui::Selectable(entry.c_str(), !folder && entry == fTyped, ImGuiSelectableFlags_AllowDoubleClick)) {
        if (folder) {
          OpenFolder(entry);
          break;
        }
        std::snprintf(fTyped, sizeof fTyped, "%s", entry.c_str());
        fError.clear();
        if (ImGui::IsMouseDoubleClicked(0)) result = Accept(fTyped);
      }
    }
    ImGui::EndListBox();
  }
  const float labelWidth = 100;
  ImGui::TextUnformatted("File name:");
  ImGui::SameLine(labelWidth);
  ImGui::SetNextItemWidth(-1);
  if (fFocusTyped) {
    ImGui::SetKeyboardFocusHere();
    fFocusTyped = false;
  }
  if (ImGui::InputText("##name", fTyped, sizeof fTyped, ImGuiInputTextFlags_EnterReturnsTrue)) {
    result = Accept(fTyped);
    fFocusTyped = result == TResult::None;
  } else if (ImGui::IsItemEdited()) {
    fOverwrite.clear();
    fError.clear();
  }
  ImGui::TextUnformatted("Files of type:");
  ImGui::SameLine(labelWidth);
  ImGui::SetNextItemWidth(-1);
  if (ImGui::BeginCombo("##type", fFilters[static_cast<size_t>(fFilterIndex)].Description.c_str())) {
    for (size_t i = 0; i < fFilters.size(); ++i)
      if (ImGui::Selectable(fFilters[i].Description.c_str(), static_cast<int32_t>(i) == fFilterIndex)) {
        fFilterIndex = static_cast<int32_t>(i);
        Reload();
      }
    ImGui::EndCombo();
  }
  if (OffersEncoding) {
    static const char* const encodings[] = {"UTF-8", "UTF-16"};
    ImGui::TextUnformatted("Encoding:");
    ImGui::SameLine(labelWidth);
    ImGui::SetNextItemWidth(-1);
    int index = fEncoding == TTextEncoding::UTF8 ? 0 : 1;
    if (ImGui::Combo("##encoding", &index, encodings, 2))
      fEncoding = index == 0 ? TTextEncoding::UTF8 : TTextEncoding::UTF16;
  }
  if (!fOverwrite.empty()) {
    ImGui::TextWrapped("\"%s\" already exists. Do you want to replace it?", fOverwrite.c_str());
  } else if (!fError.empty()) {
    ImGui::PushStyleColor(ImGuiCol_Text, IM_COL32(255, 120, 110, 255));
    ImGui::TextWrapped("%s", fError.c_str());
    ImGui::PopStyleColor();
  }
  ImGui::SetCursorPosY(ImGui::GetWindowContentRegionMax().y - ImGui::GetFrameHeight());
  const char* accept = !fOverwrite.empty() ? "Replace" : fMode == TMode::Open ? "Open" : "Save";
  switch (RightButtons({accept, "Cancel"})) {
    case 0: result = Accept(fTyped); break;
    case 1:
      fShown = false;
      result = TResult::Cancelled;
      break;
    default: break;
  }
  ImGui::End();
  return result;
}

// ------------------------------------------------------------ crash report

void TCrashReportDialog::Add(std::vector<std::string> lines) {
  TFormException report;
  report.Lines = std::move(lines);
  if (fReports.empty()) {
    fStep = TStep::Report;
    fFrames = 0;
    fText = report.ReportText();
  }
  fReports.push_back(std::move(report));
}

bool TCrashReportDialog::Draw() {
  if (fReports.empty()) return false;
  const TStep step = fStep;
  const size_t count = fReports.size();
  ++fFrames;
  struct TStepWatch {
    TCrashReportDialog& Dialog;
    TStep Step;
    size_t Count;
    ~TStepWatch() {
      if (Dialog.fStep != Step || Dialog.fReports.size() != Count) Dialog.fFrames = 0;
    }
  } watch{*this, step, count};
  TFormException& report = fReports.front();
  BeginDialog(ExceptionCaption, 645, 309, fStep == TStep::Report);
  ImGui::BeginDisabled(fStep != TStep::Report);
  const float buttons = ImGui::GetFrameHeightWithSpacing() + ImGui::GetStyle().ItemSpacing.y;
  ImGui::BeginChild("group", ImVec2(0, -buttons), true);
  ImGui::TextUnformatted(CrashReportGroup);
  ImGui::InputTextMultiline("##report", fText.data(), fText.size() + 1, ImVec2(-1, -1),
                            ImGuiInputTextFlags_ReadOnly);
  ImGui::EndChild();
  // ImGui draws no accelerator marks: "S&ave" and "&Close" show without the "&".
  const int pressed = RightButtons({"Save", "Close"});
  ImGui::EndDisabled();
  ImGui::End();
  if (fStep == TStep::Report && pressed == 0) fStep = TStep::Confirm;
  if (fStep == TStep::Report && pressed == 1) {
    report.Close();
    fReports.pop_front();
    if (!fReports.empty()) fText = fReports.front().ReportText();
    return !fReports.empty();
  }

  if (fStep == TStep::Confirm) {
    BeginDialog("Confirm", 460, 120);
    ImGui::TextWrapped("%s", SaveReportQuestion);
    ImGui::SetCursorPosY(ImGui::GetWindowContentRegionMax().y - ImGui::GetFrameHeight());
    const int answer = RightButtons({"Yes", "No"});
    ImGui::End();
    if (answer == 0) {
      fStep = TStep::SaveDialog;
      fSaveDialog.OffersEncoding = true;
      fSaveDialog.Show(SaveReportTitle, SaveReportFilter, SaveReportDefaultExt, TFileDialog::TMode::Save,
                       SaveDirectory);
    } else if (answer == 1) {
      fStep = TStep::Report;
    }
  } else if (fStep == TStep::SaveDialog) {
    const TFileDialog::TResult result = fSaveDialog.Draw();
    if (result == TFileDialog::TResult::Cancelled) fStep = TStep::Report;
    if (result == TFileDialog::TResult::Accepted) {
      // The question and the dialog have been answered above: Save only writes and reports.
      fMessage.clear();
      report.Confirm = [](const std::string&) { return true; };
      report.RunSaveDialog = [this](std::string& path, TTextEncoding& encoding) {
        path = fSaveDialog.Path();
        encoding = fSaveDialog.Encoding();
        return true;
      };
      report.ShowInformation = [this](const std::string& text) { fMessage = text; };
      report.Save();
      fStep = fMessage.empty() ? TStep::Report : TStep::Message;
    }
  } else if (fStep == TStep::Message) {
    BeginDialog("Information", 460, 130);
    ImGui::TextWrapped("%s", fMessage.c_str());
    ImGui::SetCursorPosY(ImGui::GetWindowContentRegionMax().y - ImGui::GetFrameHeight());
    if (RightButtons({"OK"}) == 0) fStep = TStep::Report;
    ImGui::End();
  }
  return true;
}

}  // namespace kelvane
