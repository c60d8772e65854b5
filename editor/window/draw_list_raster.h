#pragma once

// Renders ImGui draw data into a 32-bit pixel buffer (0xAARRGGBB, the layout
// of a 24/32-bit TrueColor XImage) without any GPU: the only texture is the
// font atlas as 8-bit alpha.

#include <cstdint>

struct ImDrawData;

namespace kelvane {

struct TAlphaTexture {
  const unsigned char* Pixels = nullptr;
  int Width = 0, Height = 0;
};

void RasterizeDrawData(const ImDrawData& data, const TAlphaTexture& texture, uint32_t* pixels, int width,
                       int height, uint32_t background);

}  // namespace kelvane
