#pragma once

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace kelvane {

class TSynth;
class TAttachedSoundFont;

// A failure the user of a tool can act on; the message names the file.
class EToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file system's path of a UTF-8 path from the command line; EToolError
// when it cannot be a file name here.
std::filesystem::path ToolPath(const std::string& Path);

// Attaches the bank file at Path with its samples left on disk; a missing,
// unreadable or unrecognised file throws EToolError naming it.
TAttachedSoundFont* AttachBankFile(TSynth& Synth, const std::string& Path);

// The presets of one attached bank, one line per (bank, program) in the
// editor's entry text "[BBBB:PP] Name" (14-bit bank, so SF2 bank 128 is 4000),
// sorted by bank, then program.
void PrintPresetList(std::FILE* To, TSynth& Synth, TAttachedSoundFont& Bank);

// What the synthesizer knows of one attached bank: its texts, format, and the
// preset, sample and sample-data figures. Path is the file it was read from.
void PrintBankInfo(std::FILE* To, TSynth& Synth, TAttachedSoundFont& Bank, const std::string& Path);

}  // namespace kelvane
