#include "banks/default_bank.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "banks/stream.h"
#include "synth/synth.h"

namespace kelvane {

namespace {

// General MIDI banks as distributions name them, most specific first.
constexpr const char* SoundFontNames[] = {"default-GM.sf2", "default.sf2", "FluidR3_GM.sf2", "TimGM6mb.sf2",
                                          "freepats-general-midi.sf2"};

// Sound-font folders below a data directory (sounds/sf2 on Debian, openSUSE,
// Gentoo and the BSDs; soundfonts on Arch and Fedora).
constexpr const char* SoundFontFolders[] = {"sounds/sf2", "soundfonts"};

std::string Join(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  return directory.back() == '/' ? directory + name : directory + "/" + name;
}

std::vector<std::string> SplitPathList(const std::string& list) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find(':', start), list.size());
    if (end > start) parts.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string NonEmpty(const std::optional<std::string>& value) { return value ? *value : std::string(); }

}  // namespace

std::vector<std::string> DefaultBankCandidates(TDefaultBankPlaces& Places) {
  std::vector<std::string> candidates;
  auto add = [&](const std::string& path) {
    if (!path.empty() && std::find(candidates.begin(), candidates.end(), path) == candidates.end()) {
      candidates.push_back(path);
    }
  };
  auto addFolders = [&](const std::string& dataDirectory) {
    if (dataDirectory.empty()) return;
    for (const char* folder : SoundFontFolders) {
      for (const char* name : SoundFontNames) add(Join(Join(dataDirectory, folder), name));
    }
  };

  const std::string current = Places.CurrentDirectory();
  if (!current.empty()) {
    add(Join(current, "gm.dls"));
    add(Join(current, "gm.sf2"));
  }
  const std::string executable = Places.ExecutableDirectory();
  if (!executable.empty()) {
    add(Join(executable, "gm.dls"));
    add(Join(executable, "gm.sf2"));
  }

  add(NonEmpty(Places.Environment(DefaultBankEnvironmentVariable)));

  // The user's data directory (XDG base directories).
  std::string dataHome = NonEmpty(Places.Environment("XDG_DATA_HOME"));
  if (dataHome.empty()) {
    const std::string home = NonEmpty(Places.Environment("HOME"));
    if (!home.empty()) dataHome = Join(home, ".local/share");
  }
  addFolders(dataHome);

  // The system's data directories when configured; the usual ones follow anyway.
  for (const std::string& directory : SplitPathList(NonEmpty(Places.Environment("XDG_DATA_DIRS")))) {
    addFolders(directory);
  }

  add("/usr/share/sounds/sf2/default-GM.sf2");
  add("/usr/share/sounds/sf2/FluidR3_GM.sf2");
  add("/usr/share/sounds/sf2/TimGM6mb.sf2");
  addFolders("/usr/share");
  addFolders("/usr/local/share");
  return candidates;
}

std::string FindDefaultBank(TDefaultBankPlaces& Places) {
  for (const std::string& candidate : DefaultBankCandidates(Places)) {
    if (Places.FileExists(candidate)) return candidate;
  }
  return {};
}

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

bool TSynth::LoadDefaultSoundFont(bool DelayLoadSamples, TDefaultBankPlaces& Places) {
  const std::string path = FindDefaultBank(Places);
  if (path.empty()) return false;
  return AttachSoundFont(std::make_unique<TFileStream>(path), DelayLoadSamples) != nullptr;
}

}  // namespace kelvane
