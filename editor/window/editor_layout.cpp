#include "editor/window/editor_layout.h"

#include <imgui/imgui.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

#include "editor/editor_model.h"

extern "C" const unsigned char KelvaneEditorFontData[];
extern "C" const unsigned int KelvaneEditorFontSize;

namespace kelvane {

namespace {

// ImGui marks shortcuts with nothing; drop the "&".
std::string Label(const char* text) {
  std::string s;
  for (const char* p = text; *p; ++p)
    if (*p != '&' || p[1] == '&') s += *p;
  return s;
}

void Combo(const char* id, int32_t& value, const char* const* items, int count, const std::function<void(int)>& set) {
  const char* preview = value >= 0 && value < count ? items[value] : "";
  if (ImGui::BeginCombo(id, preview)) {
    for (int i = 0; i < count; ++i)
      if (ImGui::Selectable(items[i], i == value)) set(i);
    ImGui::EndCombo();
  }
}

void DrawChannel(TEditorModel& model, int channel, TEditorRequests& requests) {
  TChannelFrameState& frame = model.Channels[channel];
  ImGui::PushID(channel);
  ImGui::PushStyleVar(ImGuiStyleVar_ItemSpacing, ImVec2(4, 2));
  ImGui::TextUnformatted(frame.Title.c_str());
  const auto& items = model.ChannelPrograms;
  const int32_t index = std::clamp(frame.ItemIndex, 0, std::max(0, static_cast<int32_t>(items.size()) - 1));
  ImGui::SetNextItemWidth(ImGui::GetContentRegionAvail().x - 70.0f);
  if (ImGui::BeginCombo("##programs", items.empty() ? "" : items[index].c_str())) {
    for (size_t i = 0; i < items.size(); ++i)
      if (ImGui::Selectable(items[i].c_str(), static_cast<int32_t>(i) == index))
        model.ChannelProgramSelected(channel, static_cast<int32_t>(i));
    ImGui::EndCombo();
  }
  ImGui::SameLine();
  if (ImGui::ArrowButton("##down", ImGuiDir_Left)) model.ChannelUpDown(channel, index - 1);
  ImGui::SameLine();
  if (ImGui::ArrowButton("##up", ImGuiDir_Right)) model.ChannelUpDown(channel, index + 1);
  ImGui::SameLine();
  if (ImGui::Button("\xE2\x96\xBC")) ImGui::OpenPopup("menu");
  if (ImGui::BeginPopup("menu")) {
    if (ImGui::BeginMenu(Label("&Tunings").c_str())) {
      ImGui::MenuItem(model.TuningLoadedText(channel).c_str(), nullptr, false, false);
      ImGui::Separator();
      if (ImGui::MenuItem(Label("&Load tunings").c_str())) requests.ImportTuningChannel = channel;
      if (ImGui::MenuItem(Label("&Clear tunings").c_str())) model.ClearMIDIChannelTuning(channel);
      ImGui::EndMenu();
    }
    if (ImGui::BeginMenu(Label("&Options").c_str())) {
      const bool enforce = model.GetMIDIChannelFlagEnforceBankAndProgram(channel);
      if (ImGui::MenuItem(Label("&Enforce bank and program").c_str(), nullptr, enforce))
        model.SetMIDIChannelFlagEnforceBankAndProgram(channel, !enforce);
      ImGui::EndMenu();
    }
    ImGui::EndPopup();
  }
  ImGui::PopStyleVar();
  ImGui::PopID();
}

}  // namespace

bool AddEditorFonts() {
  if (KelvaneEditorFontSize == 0) return false;
  ImFontConfig config;
  config.FontDataOwnedByAtlas = false;  // the data lives in the library
  ImGuiIO& io = ImGui::GetIO();
  static const ImWchar ranges[] = {0x0020, 0x00FF, 0x2190, 0x27BF, 0};  // Latin, arrows and dingbats
  io.Fonts->AddFontFromMemoryTTF(const_cast<unsigned char*>(KelvaneEditorFontData),
                                 static_cast<int>(KelvaneEditorFontSize), 13.0f, &config, ranges);
  io.Fonts->AddFontFromMemoryTTF(const_cast<unsigned char*>(KelvaneEditorFontData),
                                 static_cast<int>(KelvaneEditorFontSize), 32.0f, &config, ranges);
  return true;
}

void DrawEditorLayout(TEditorModel& model, TEditorRequests& requests) {
  ImGui::SetNextWindowPos(ImVec2(0, 0));
  ImGui::SetNextWindowSize(ImVec2(EditorWidth, EditorHeight));
  ImGui::Begin("Kelvane", nullptr,
               ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoSavedSettings);
  ImGuiIO& io = ImGui::GetIO();
  const float width = ImGui::GetContentRegionAvail().x;

  // Title strip, 48 px.
  ImGui::BeginChild("title", ImVec2(width, 48));
  if (io.Fonts->Fonts.Size > 1) ImGui::PushFont(io.Fonts->Fonts[1]);
  const ImVec2 size = ImGui::CalcTextSize(EditorProductLabel);
  ImGui::SetCursorPos(ImVec2((width - size.x) * 0.5f, 0));
  ImGui::TextUnformatted(EditorProductLabel);
  if (io.Fonts->Fonts.Size > 1) ImGui::PopFont();
  ImGui::SetCursorPos(ImVec2(0, 48 - ImGui::GetTextLineHeight()));
  ImGui::TextUnformatted(EditorVersionLabel);
  ImGui::EndChild();

  // Top row, 188 px: banks and programs.
  const float half = (width - ImGui::GetStyle().ItemSpacing.x) * 0.5f;
  ImGui::BeginChild("Banks", ImVec2(half, 188), true);
  ImGui::TextUnformatted("Banks");
  if (ImGui::BeginListBox("##banks", ImVec2(-1, 188 - 70))) {
    for (size_t i = 0; i < model.Banks.size(); ++i)
      if (ImGui::Selectable(model.Banks[i].c_str(), model.BankSelection == static_cast<int32_t>(i))) {
        model.BankSelection = static_cast<int32_t>(i);
        model.SelectBank(model.BankSelection);
      }
    ImGui::EndListBox();
  }
  if (ImGui::Button("Add bank")) requests.AddBank = true;
  ImGui::SameLine();
  if (ImGui::Button("Remove bank")) model.RemoveBank();
  ImGui::EndChild();
  ImGui::SameLine();
  ImGui::BeginChild("Programs", ImVec2(half, 188), true);
  ImGui::TextUnformatted("Programs");
  ImGui::BeginDisabled(!model.ProgramsEnabled);
  if (ImGui::BeginListBox("##programs", ImVec2(-1, 188 - 70))) {
    for (size_t i = 0; i < model.Programs.size(); ++i) {
      bool checked = model.Programs[i].Checked;
      if (ImGui::Checkbox(model.Programs[i].Text.c_str(), &checked))
        model.SetProgramChecked(static_cast<int32_t>(i), checked);
    }
    ImGui::EndListBox();
  }
  ImGui::EndDisabled();
  ImGui::BeginDisabled(!model.AllEnabled);
  bool all = model.AllChecked;
  if (ImGui::Checkbox("All", &all)) model.SetAllChecked(all);
  ImGui::EndDisabled();
  ImGui::EndChild();

  // Middle: the 4 x 4 channel grid fills what the rows leave.
  const float middle = EditorHeight - 48 - 188 - 216 - 4 * ImGui::GetStyle().ItemSpacing.y -
                       2 * ImGui::GetStyle().WindowPadding.y;
  ImGui::BeginChild("channels", ImVec2(width, std::max(middle, 40.0f)));
  const float cellW = width / 4, cellH = std::max(middle, 40.0f) / 4;
  for (int row = 0; row < 4; ++row)
    for (int column = 0; column < 4; ++column) {
      ImGui::SetCursorPos(ImVec2(column * cellW, row * cellH));
      ImGui::BeginChild(ImGui::GetID(reinterpret_cast<void*>(static_cast<intptr_t>(row * 4 + column + 1))),
                        ImVec2(cellW, cellH), true, ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse);
      DrawChannel(model, row * 4 + column, requests);
      ImGui::EndChild();
    }
  ImGui::EndChild();

  // Bottom row, 216 px: five bars over edits, then the settings.
  ImGui::BeginChild("bottom", ImVec2(width, 216));
  for (int i = 0; i < 5; ++i) {
    TBarEdit& bar = model.Bars[i];
    ImGui::PushID(i);
    ImGui::BeginGroup();
    ImGui::TextUnformatted(bar.Title);
    int position = bar.Position;
    // The bar counts from the top; the slider's value grows upwards.
    int shown = bar.Max + bar.Min - position;
    if (ImGui::VSliderInt("##bar", ImVec2(56, 140), &shown, bar.Min, bar.Max, "")) {
      bar.BarFocused = true;
      bar.EditFocused = false;
      model.BarMoved(static_cast<TEditorBar>(i), bar.Max + bar.Min - shown);
    }
    bar.BarFocused = ImGui::IsItemActive();
    int value = bar.Value;
    ImGui::SetNextItemWidth(56);
    if (ImGui::InputInt("##edit", &value, 0)) model.EditChanged(static_cast<TEditorBar>(i), value);
    bar.EditFocused = ImGui::IsItemActive();
    ImGui::EndGroup();
    ImGui::PopID();
    ImGui::SameLine();
  }
  ImGui::BeginGroup();
  ImGui::TextUnformatted("Settings");
  const char* const* lists[4] = {ResamplingMethodItems.data(), ResamplingInterpolationItems.data(),
                                 GeneralMIDIModeItems.data(), VoiceAllocationItems.data()};
  const int counts[4] = {20, 3, 3, 3};
  const char* titles[4] = {"Resampling method", "Resampling interpolation", "General MIDI mode",
                           "Voice allocation algorithm"};
  ImGui::BeginGroup();
  for (int i = 0; i < 4; ++i) {
    ImGui::TextUnformatted(titles[i]);
    ImGui::SetNextItemWidth(170);
    Combo((std::string("##") + titles[i]).c_str(), model.DropDowns[i], lists[i], counts[i],
          [&model, i](int index) { model.DropDownChanged(i, index); });
  }
  ImGui::EndGroup();
  ImGui::SameLine();
  // Compact rows: all ten switches fit without scrolling.
  ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(3, 1));
  ImGui::PushStyleVar(ImGuiStyleVar_ItemSpacing, ImVec2(4, 2));
  ImGui::BeginChild("switches", ImVec2(0, 0), true);
  for (int i = 0; i < 10; ++i) {
    bool on = model.Settings[i];
    if (ImGui::Checkbox(SettingsItems[i], &on)) model.SettingChecked(i, on);
  }
  ImGui::EndChild();
  ImGui::PopStyleVar(2);
  ImGui::EndGroup();
  ImGui::EndChild();
  ImGui::End();
}

}  // namespace kelvane
