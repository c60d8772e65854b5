#pragma once

// Reads a name from a TrueType file's "name" table: the embedded editor
// font is registered under the name it carries itself.

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvane {

inline constexpr uint16_t TrueTypeFullNameID = 4;

// The UTF-8 text of the record (Windows platform, Unicode BMP encoding,
// language), or empty when the file has none or is malformed.
std::string ReadTrueTypeName(const unsigned char* data, size_t size, uint16_t nameID = TrueTypeFullNameID,
                             uint16_t language = 1033);

}  // namespace kelvane
