#pragma once

// The plug-in's state as a BSON document: program 0 with its settings, banks
// and channel assignments.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "plugin/vsti_program.h"

namespace kelvane {

// isPreset selects the root element: "program" (one program document) when
// set, "programs" (an array holding it) otherwise.
std::vector<uint8_t> WriteProgramChunk(const TVSTiProgram& program, bool isPreset);

// Reads a chunk into program; keys absent from the chunk leave their fields
// as they are. Throws EKelvaneBSONError ("Corrupt BSON stream") on structural
// errors and EKelvaneConvertError on values of the wrong type; fields read
// before the error keep their new values.
void ReadProgramChunk(const uint8_t* data, size_t size, bool isPreset, TVSTiProgram& program);

}  // namespace kelvane
