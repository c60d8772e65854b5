// The rasteriser and rectangle packer ImGui builds its font atlas with, from
// libstb's headers: the Linux build links libstb.a instead.
#define STB_RECT_PACK_IMPLEMENTATION
#include <stb/stb_rect_pack.h>
#define STB_TRUETYPE_IMPLEMENTATION
#include <stb/stb_truetype.h>
