#include "banks/default_bank.h"

#include <algorithm>
#include <cctype>
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

std::vector<std::string> TDefaultBankPlaces::Candidates() { return DefaultBankCandidates(*this); }

std::vector<std::string> TWindowsDefaultBankPlaces::Candidates() { return WindowsDefaultBankCandidates(*this); }

namespace {

std::string UpperASCII(std::string Text) {
  for (char& c : Text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return Text;
}

// Replaces every case-insensitive occurrence of Placeholder.
std::string ReplacePlaceholder(const std::string& Value, const std::string& Placeholder, const std::string& By) {
  const std::string upper = UpperASCII(Value);
  std::string result;
  size_t from = 0;
  for (size_t at = upper.find(Placeholder); at != std::string::npos; at = upper.find(Placeholder, from)) {
    result.append(Value, from, at - from).append(By);
    from = at + Placeholder.size();
  }
  return result.append(Value, from, std::string::npos);
}

}  // namespace

std::string ExpandGMFilePath(std::string Value, const std::string& WindowsDirectory,
                             const std::string& SystemDirectory) {
  // The placeholders are expected at the start of the value; one elsewhere is
  // still replaced by its own text only, never by the value's first characters.
  Value = ReplacePlaceholder(Value, "%SYSTEMROOT%", WindowsDirectory);
  Value = ReplacePlaceholder(Value, "%WINDIR%", WindowsDirectory);
  Value = ReplacePlaceholder(Value, "%SYSTEMDRIVE%", WindowsDirectory.substr(0, 2));
  Value = ReplacePlaceholder(Value, "%SYSTEMDIRECTORY%", SystemDirectory);
  return Value;
}

std::vector<std::string> WindowsDefaultBankCandidates(TWindowsDefaultBankPlaces& Places) {
  std::vector<std::string> candidates = {"gm.dls"};
  const std::string current = Places.CurrentDirectory();
  candidates.push_back(current + "\\gm.dls");
  candidates.push_back(current + "\\gm.sf2");
  // The executable's directory as Windows reports it ends in a separator;
  // one is added when a place gives it without.
  std::string executable = Places.ExecutableDirectory();
  if (!executable.empty() && executable.back() != '\\' && executable.back() != '/') executable += '\\';
  candidates.push_back(executable + "gm.dls");
  candidates.push_back(executable + "gm.sf2");
  const std::string windows = Places.WindowsDirectory();
  if (const std::optional<std::string> value = Places.DirectMusicGMFilePath()) {
    candidates.push_back(ExpandGMFilePath(*value, windows, Places.SystemDirectory()));
  }
  candidates.push_back(windows + "\\system32\\drivers\\gm.dls");
  candidates.push_back(windows + "\\system32\\drivers\\gm.sf2");
  return candidates;
}

std::string FindDefaultBank(TDefaultBankPlaces& Places) {
  for (const std::string& candidate : Places.Candidates()) {
    if (candidate.empty()) continue;
    if (Places.FileExists(candidate)) return candidate;
  }
  return {};
}

bool TSynth::LoadDefaultSoundFont(bool DelayLoadSamples, TDefaultBankPlaces& Places) {
  const std::string path = FindDefaultBank(Places);
  if (path.empty()) return false;
  return AttachSoundFont(std::make_unique<TFileStream>(path), DelayLoadSamples) != nullptr;
}

}  // namespace kelvane
