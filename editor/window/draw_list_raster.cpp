#include "editor/window/draw_list_raster.h"

#include <imgui/imgui.h>

#include <algorithm>
#include <cmath>

namespace kelvane {

namespace {

struct TRasterTarget {
  uint32_t* Pixels;
  int Width, Height;
  const TAlphaTexture& Texture;
};

float Edge(const ImVec2& a, const ImVec2& b, float x, float y) {
  return (b.x - a.x) * (y - a.y) - (b.y - a.y) * (x - a.x);
}

void Blend(uint32_t& dst, float r, float g, float b, float a) {
  if (a <= 0.0f) return;
  const float inv = 1.0f - a;
  const float dr = static_cast<float>((dst >> 16) & 0xFF), dg = static_cast<float>((dst >> 8) & 0xFF),
              db = static_cast<float>(dst & 0xFF);
  const auto c = [](float v) { return static_cast<uint32_t>(std::clamp(v, 0.0f, 255.0f) + 0.5f); };
  dst = 0xFF000000u | (c(r * a + dr * inv) << 16) | (c(g * a + dg * inv) << 8) | c(b * a + db * inv);
}

void Triangle(TRasterTarget& target, const ImDrawVert& v0, const ImDrawVert& v1, const ImDrawVert& v2,
              const ImVec4& clip) {
  const float area = Edge(v0.pos, v1.pos, v2.pos.x, v2.pos.y);
  if (std::fabs(area) < 1e-6f) return;
  const int x0 = std::max({0, static_cast<int>(std::floor(std::min({v0.pos.x, v1.pos.x, v2.pos.x}))),
                           static_cast<int>(clip.x)});
  const int y0 = std::max({0, static_cast<int>(std::floor(std::min({v0.pos.y, v1.pos.y, v2.pos.y}))),
                           static_cast<int>(clip.y)});
  const int x1 = std::min({target.Width, static_cast<int>(std::ceil(std::max({v0.pos.x, v1.pos.x, v2.pos.x}))),
                           static_cast<int>(std::ceil(clip.z))});
  const int y1 = std::min({target.Height, static_cast<int>(std::ceil(std::max({v0.pos.y, v1.pos.y, v2.pos.y}))),
                           static_cast<int>(std::ceil(clip.w))});
  const ImVec4 c0 = ImGui::ColorConvertU32ToFloat4(v0.col), c1 = ImGui::ColorConvertU32ToFloat4(v1.col),
               c2 = ImGui::ColorConvertU32ToFloat4(v2.col);
  const TAlphaTexture& tex = target.Texture;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) {
      const float px = x + 0.5f, py = y + 0.5f;
      float w0 = Edge(v1.pos, v2.pos, px, py) / area;
      float w1 = Edge(v2.pos, v0.pos, px, py) / area;
      float w2 = Edge(v0.pos, v1.pos, px, py) / area;
      if (w0 < 0.0f || w1 < 0.0f || w2 < 0.0f) continue;
      float alpha = c0.w * w0 + c1.w * w1 + c2.w * w2;
      if (tex.Pixels != nullptr) {
        const float u = v0.uv.x * w0 + v1.uv.x * w1 + v2.uv.x * w2;
        const float v = v0.uv.y * w0 + v1.uv.y * w1 + v2.uv.y * w2;
        const int tx = std::clamp(static_cast<int>(u * tex.Width), 0, tex.Width - 1);
        const int ty = std::clamp(static_cast<int>(v * tex.Height), 0, tex.Height - 1);
        alpha *= tex.Pixels[ty * tex.Width + tx] / 255.0f;
      }
      Blend(target.Pixels[y * target.Width + x], (c0.x * w0 + c1.x * w1 + c2.x * w2) * 255.0f,
            (c0.y * w0 + c1.y * w1 + c2.y * w2) * 255.0f, (c0.z * w0 + c1.z * w1 + c2.z * w2) * 255.0f, alpha);
    }
}

}  // namespace

void RasterizeDrawData(const ImDrawData& data, const TAlphaTexture& texture, uint32_t* pixels, int width,
                       int height, uint32_t background) {
  std::fill(pixels, pixels + static_cast<size_t>(width) * static_cast<size_t>(height), background);
  TRasterTarget target{pixels, width, height, texture};
  const ImVec2 origin = data.DisplayPos;
  for (int n = 0; n < data.CmdListsCount; ++n) {
    const ImDrawList& list = *data.CmdLists[n];
    for (const ImDrawCmd& cmd : list.CmdBuffer) {
      if (cmd.UserCallback != nullptr) continue;  // no callbacks in the editor
      const ImVec4 clip(cmd.ClipRect.x - origin.x, cmd.ClipRect.y - origin.y, cmd.ClipRect.z - origin.x,
                        cmd.ClipRect.w - origin.y);
      for (unsigned int i = 0; i + 2 < cmd.ElemCount; i += 3) {
        const ImDrawIdx* idx = &list.IdxBuffer[static_cast<int>(cmd.IdxOffset + i)];
        ImDrawVert v[3];
        for (int k = 0; k < 3; ++k) {
          v[k] = list.VtxBuffer[static_cast<int>(cmd.VtxOffset + idx[k])];
          v[k].pos.x -= origin.x;
          v[k].pos.y -= origin.y;
        }
        Triangle(target, v[0], v[1], v[2], clip);
      }
    }
  }
}

}  // namespace kelvane
