#include "editor/window/form_vsti_editor.h"

#include <imgui/imgui.h>
#include <imgui/imgui_internal.h>

#include <chrono>
#include <exception>

#include "editor/crash_report.h"
#include "editor/editor_model.h"
#include "editor/window/editor_dialogs.h"
#include "editor/window/editor_layout.h"
#if defined(_WIN32)
#include "editor/window/win32_editor_window.h"
#else
#include "editor/window/x11_editor_window.h"
#endif

namespace kelvane {

namespace {

void IgnoreImGuiError(void*, const char*, ...) {}

// The platform layer; everything in this file is shared by both.
#if defined(_WIN32)
using TPlatformEditorWindow = TWin32EditorWindow;
void* PlatformParent(void* parent) { return parent; }
#else
using TPlatformEditorWindow = TX11EditorWindow;
unsigned long PlatformParent(void* parent) { return reinterpret_cast<unsigned long>(parent); }
#endif

class TImGuiFormVSTiEditor final : public TFormVSTiEditor {
 public:
  TImGuiFormVSTiEditor(TVSTiPlugin& plugin, void* parent)
      : fPlugin(plugin),
        fModel(plugin.CriticalSection, plugin.Programs[0], *plugin.Synth, [&plugin] { plugin.ChangeProgram(0); }),
        fWindow([this] { Frame(); }, PlatformParent(parent)) {
#if defined(_WIN32)
    fWindow.OnTimer = [this] { Idle(); };  // hosts need not send idle calls on Windows
#endif
    TExceptionHandler::Instance().AttachWindow();
  }
  ~TImGuiFormVSTiEditor() override { TExceptionHandler::Instance().DetachWindow(); }

  bool IsOpen() const { return fWindow.IsOpen(); }
  int32_t ClientWidth() const override { return static_cast<int32_t>(EditorWidth); }
  int32_t ClientHeight() const override { return static_cast<int32_t>(EditorHeight); }

  void EditorUpdate() override {
    Guard([&] { fModel.EditorUpdate(); });
    fWindow.Invalidate();
  }

  void Idle() override {
    TVSTiPluginEditor* editor = fPlugin.GetPluginEditor();
    if (editor != nullptr && editor->UpdateRequested.exchange(false, std::memory_order_acq_rel)) {
      editor->BankOrProgramChanged.store(false, std::memory_order_relaxed);  // covered by the reload
      EditorUpdate();
    }
    if (editor != nullptr && editor->BankOrProgramChanged.exchange(false, std::memory_order_acq_rel)) {
      Guard([&] { fModel.UpdateMIDIChannels(); });
      fWindow.Invalidate();
    }
    // Reports from the audio and worker threads are shown here, on the user-interface thread.
    for (std::vector<std::string> lines; TExceptionHandler::Instance().TakePending(lines);) {
      fReports.Add(std::move(lines));
      fWindow.Invalidate();
    }
    fWindow.Idle();
  }

 private:
  template <typename TBody>
  void Guard(TBody&& body) {
    try {
      body();
    } catch (const std::exception& error) {
      fReports.Add(BuildCrashReportLines(ExceptionClassName(error), error.what(), ""));
      fWindow.Invalidate();
    }
  }

  void Frame() {
    const bool modal = fFileDialog.IsShown() || fReports.IsShown();
    TEditorRequests requests;
    ImGui::BeginDisabled(modal);
    try {
      DrawEditorLayout(fModel, requests);
      ImGui::EndDisabled();
    } catch (const std::exception& error) {
      // A handler threw half way through the frame: close what it left open.
      ImGui::ErrorCheckEndFrameRecover(&IgnoreImGuiError);
      while (GImGui->DisabledStackSize > 0) ImGui::EndDisabled();
      fReports.Add(BuildCrashReportLines(ExceptionClassName(error), error.what(), ""));
      fWindow.Invalidate();
    }
    if (requests.AddBank) {
      fTuningChannel = -1;
      fFileDialog.OffersEncoding = false;
      fFileDialog.Show("Add bank", AddBankFilter, "", TFileDialog::TMode::Open, fLastDirectory);
    } else if (requests.ImportTuningChannel >= 0) {
      fTuningChannel = requests.ImportTuningChannel;
      fFileDialog.OffersEncoding = false;
      fFileDialog.Show("Import tuning scale", ImportTuningFilter, ImportTuningDefaultExt, TFileDialog::TMode::Open,
                       fLastDirectory);
    }
    const TFileDialog::TResult result = fFileDialog.Draw();
    if (result == TFileDialog::TResult::Accepted) {
      const std::string path = fFileDialog.Path();
      fLastDirectory = path.substr(0, path.find_last_of("/\\") + 1);
      if (fTuningChannel >= 0)
        Guard([&] { fModel.LoadMIDIChannelTuning(fTuningChannel, path); });
      else
        Guard([&] { fModel.AddBank(path); });
    }
    fReports.Draw();
    // A dialog opened, closed or changed: ImGui needs a few frames to size and focus it.
    if (modal != (fFileDialog.IsShown() || fReports.IsShown()) || result != TFileDialog::TResult::None ||
        fFileDialog.NeedsFrame() || (fReports.IsShown() && fReports.NeedsFrame()))
      fWindow.Invalidate();
  }

  TVSTiPlugin& fPlugin;
  TEditorModel fModel;
  TFileDialog fFileDialog;
  TCrashReportDialog fReports;
  int32_t fTuningChannel = -1;
  std::string fLastDirectory;
  TPlatformEditorWindow fWindow;  // last: destroyed first, while the state it draws still exists
};

}  // namespace

std::unique_ptr<TFormVSTiEditor> CreateFormVSTiEditor(TVSTiPlugin& plugin, void* parent) {
  auto editor = std::make_unique<TImGuiFormVSTiEditor>(plugin, parent);
  if (!editor->IsOpen()) return nullptr;
  return editor;
}

}  // namespace kelvane
