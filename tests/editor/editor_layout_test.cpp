#ifdef KELVANE_HAVE_EDITOR_WINDOW

#include "editor/window/editor_layout.h"

#include <gtest/gtest.h>
#include <imgui/imgui.h>

#include <cstdio>
#include <vector>

#include "editor/editor_model.h"
#include "editor/window/draw_list_raster.h"
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

  // Rendered without a GPU: the frame covers the design size and shows text.
  const int w = static_cast<int>(EditorWidth), h = static_cast<int>(EditorHeight);
  std::vector<uint32_t> image(static_cast<size_t>(w) * h);
  RasterizeDrawData(*data, {pixels, width, height}, image.data(), w, h, 0xFF000000u);
  size_t changed = 0, bright = 0;
  for (uint32_t p : image) {
    changed += p != 0xFF000000u;
    bright += ((p >> 8) & 0xFF) > 200;
  }
  EXPECT_GT(changed, image.size() / 2);
  EXPECT_GT(bright, 1000u);  // text is near white in the default style
  // The screenshot, for looking at.
  if (FILE* f = std::fopen(KELVANE_BINARY_DIR "/editor_screenshot.ppm", "wb")) {
    std::fprintf(f, "P6 %d %d 255\n", w, h);
    for (uint32_t p : image) {
      const unsigned char rgb[3] = {static_cast<unsigned char>(p >> 16), static_cast<unsigned char>(p >> 8),
                                    static_cast<unsigned char>(p)};
      std::fwrite(rgb, 1, 3, f);
    }
    std::fclose(f);
  }
  ImGui::DestroyContext(context);
}

}  // namespace
}  // namespace kelvane

#endif
