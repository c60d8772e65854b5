#include "tools/bank_report.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <utility>

#include "banks/attached_sound_font.h"
#include "banks/file_path.h"
#include "banks/sample.h"
#include "banks/stream.h"
#include "synth/exceptions.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

// First leaf per (bank, program), keyed so that iteration is the listing order.
std::map<std::pair<int32_t, int32_t>, std::string> PresetNames(TSynth& Synth, TAttachedSoundFont& Bank) {
  std::map<std::pair<int32_t, int32_t>, std::string> names;
  for (const TPresetInfo& info : Synth.GetPresetInfos(&Bank, 0, PercussionBank, 0, PresetProgramCount - 1))
    names.emplace(std::make_pair(info.Bank, info.Program_), info.Name);
  return names;
}

const char* FormatName(TSoundBankType Type) {
  switch (Type) {
    case sbtSF2: return "SF2";
    case sbtDLS: return "DLS";
    case sbtSFX: return "SFX";
    default: return "unknown";
  }
}

void PrintText(std::FILE* To, const char* Label, const std::string& Text) {
  if (!Text.empty()) std::fprintf(To, "  %-16s %s\n", Label, Text.c_str());
}

}  // namespace

std::filesystem::path ToolPath(const std::string& Path) {
  try {
    return FileSystemPath(Path);
  } catch (const EKelvane& error) {
    throw EToolError(error.what());
  }
}

TAttachedSoundFont* AttachBankFile(TSynth& Synth, const std::string& Path) {
  std::error_code error;
  const std::filesystem::path path = ToolPath(Path);
  if (!std::filesystem::exists(path, error)) throw EToolError(Path + ": no such file");
  if (std::filesystem::is_directory(path, error)) throw EToolError(Path + ": is a directory, not a bank file");
  TStreamPtr stream;
  try {
    stream = std::make_unique<TFileStream>(Path);
  } catch (const EKelvane&) {
    throw EToolError(Path + ": cannot open bank file (" + std::strerror(errno) + ")");
  }
  TAttachedSoundFont* bank = Synth.AttachSoundFont(std::move(stream), true);
  if (bank == nullptr) throw EToolError(Path + ": not a sound bank (SF2, DLS or SFX) or truncated");
  return bank;
}

void PrintPresetList(std::FILE* To, TSynth& Synth, TAttachedSoundFont& Bank) {
  for (const auto& [key, name] : PresetNames(Synth, Bank))
    std::fprintf(To, "[%04X:%02X] %s\n", static_cast<unsigned>(key.first), static_cast<unsigned>(key.second),
                 name.c_str());
}

namespace {

// Layers of the tree that the bank created, at any depth.
int64_t BankLayers(const TPresetLayer& Layer, const TAttachedSoundFont& Bank) {
  int64_t count = Layer.AttachedSoundFont == &Bank ? 1 : 0;
  for (const TPresetLayer* child : Layer.Layers) count += BankLayers(*child, Bank);
  return count;
}

}  // namespace

void PrintBankInfo(std::FILE* To, TSynth& Synth, TAttachedSoundFont& Bank, const std::string& Path) {
  const TSFSoundBankInfo& info = Bank.SoundBankInfo;
  const auto presets = PresetNames(Synth, Bank);
  int32_t percussion = 0;
  for (const auto& entry : presets)
    if (entry.first.first == PercussionBank) percussion++;

  int64_t samples = 0;
  int64_t frames = 0;
  int64_t floats = 0;  // with the guard frames, as loading stores them
  for (const TSample* sample : Synth.Samples) {
    if (sample->AttachedSoundFont != &Bank) continue;
    samples++;
    frames += sample->Length > 0 ? sample->Length : 0;
    floats += sample->BufferElements();
  }

  std::fprintf(To, "%s\n", Path.c_str());
  std::fprintf(To, "  %-16s %s\n", "format", FormatName(Bank.SoundBankType));
  PrintText(To, "name", info.BankName);
  PrintText(To, "engine", info.EngineName);
  if (!info.ROMName.empty())
    std::fprintf(To, "  %-16s %s %u.%u\n", "ROM", info.ROMName.c_str(), info.ROMVersion.Major, info.ROMVersion.MInor);
  PrintText(To, "date", info.Date);
  PrintText(To, "author", info.Author);
  PrintText(To, "product", info.Product);
  PrintText(To, "copyright", info.Copyright);
  PrintText(To, "software", info.Software);
  PrintText(To, "comment", info.Comment);
  PrintText(To, "description", info.Description);
  std::fprintf(To, "  %-16s %zu (%d percussion)\n", "presets", presets.size(), percussion);
  std::fprintf(To, "  %-16s %lld\n", "samples", static_cast<long long>(samples));
  std::fprintf(To, "  %-16s %lld\n", "layers", static_cast<long long>(BankLayers(*Synth.RootPresetLayer, Bank)));
  std::fprintf(To, "  %-16s %lld frames (%.1f MiB as 16-bit, %.1f MiB loaded as float)\n", "sample data",
               static_cast<long long>(frames), static_cast<double>(frames) * 2.0 / 1048576.0,
               static_cast<double>(floats) * 2.0 * sizeof(float) / 1048576.0);
}

}  // namespace kelvane
