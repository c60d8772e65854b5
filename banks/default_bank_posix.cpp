// The running process's places on Linux and other POSIX systems.
#if !defined(_WIN32)

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "banks/default_bank.h"
#include "synth/synth.h"

namespace kelvane {

std::string TSystemDefaultBankPlaces::CurrentDirectory() {
  std::error_code error;
  const auto path = std::filesystem::current_path(error);
  return error ? std::string() : path.string();
}

std::string TSystemDefaultBankPlaces::ExecutableDirectory() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.parent_path().string();
}

std::optional<std::string> TSystemDefaultBankPlaces::Environment(const std::string& Name) {
  const char* value = std::getenv(Name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool TSystemDefaultBankPlaces::FileExists(const std::string& Path) {
  std::error_code error;
  return std::filesystem::is_regular_file(Path, error);
}

bool TSynth::LoadDefaultSoundFont(bool DelayLoadSamples) {
  TSystemDefaultBankPlaces places;
  return LoadDefaultSoundFont(DelayLoadSamples, places);
}

}  // namespace kelvane

#endif
