#ifdef KELVANE_HAVE_EDITOR_WINDOW

#include "editor/window/editor_layout.h"

#include <gtest/gtest.h>
#include <imgui/imgui.h>

#include "editor/editor_model.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

// One frame without a screen: the layout builds, with the embedded font, at the design size.
TEST(EditorLayout, DrawsAFrameHeadless) {
  TSynth synth;
  TCriticalSectionLock lock;
  TVSTiProgram program;
  auto bank = std::make_unique<TBank>();
  bank->FileName = "/banks/missing.sf2";
  program.Banks.push_back(std::move(bank));
  TEditorModel model(lock, program, synth, nullptr);

  ImGuiContext* context = ImGui::CreateContext();
  ImGuiIO& io = ImGui::GetIO();
  io.IniFilename = nullptr;
  ASSERT_TRUE(AddEditorFonts());
  ASSERT_EQ(io.Fonts->Fonts.Size, 2);
  unsigned char* pixels = nullptr;
  int width = 0, height = 0;
  io.Fonts->GetTexDataAsAlpha8(&pixels, &width, &height);
  ASSERT_NE(pixels, nullptr);
  io.DisplaySize = ImVec2(EditorWidth, EditorHeight);
  io.DeltaTime = 1.0f / 60.0f;

  TEditorRequests requests;
  for (int frame = 0; frame < 2; ++frame) {
    ImGui::NewFrame();
    DrawEditorLayout(model, requests);
    ImGui::Render();
  }
  ImDrawData* data = ImGui::GetDrawData();
  ASSERT_NE(data, nullptr);
  EXPECT_GT(data->TotalVtxCount, 1000);
  EXPECT_FALSE(requests.AddBank);
  ImGui::DestroyContext(context);
}

}  // namespace
}  // namespace kelvane

#endif
