// kelvane-bank: describes sound banks and converts them to the extended format.
//   kelvane-bank info BANK...         format, texts and counts of each bank
//   kelvane-bank list BANK...         the presets, as kelvane-render --list-presets
//   kelvane-bank convert IN... -o OUT.sfx

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "banks/attached_sound_font.h"
#include "banks/sample.h"
#include "banks/stream.h"
#include "synth/synth.h"
#include "tools/bank_report.h"
#include "tools/program_arguments.h"

using namespace kelvane;

namespace {

void PrintUsage(std::FILE* To) {
  std::fputs(
      "Usage: kelvane-bank info BANK [BANK ...]\n"
      "       kelvane-bank list BANK [BANK ...]\n"
      "       kelvane-bank convert IN [IN ...] -o OUT.sfx\n"
      "\n"
      "  info     format, names, preset/sample/layer counts and sample memory of each bank\n"
      "  list     the presets of each bank, one \"[BBBB:PP] Name\" line each\n"
      "  convert  attaches the banks (SF2, DLS or SFX) in order and writes them as one SFX bank\n",
      To);
}

[[noreturn]] void UsageError(const std::string& Message) {
  std::fprintf(stderr, "kelvane-bank: %s\n", Message.c_str());
  PrintUsage(stderr);
  std::exit(2);
}


int Describe(const std::vector<std::string>& Banks, bool Info) {
  bool first = true;
  for (const std::string& path : Banks) {
    // A synthesizer per bank, so that each report shows that bank alone.
    TSynth synth;
    TAttachedSoundFont* bank = AttachBankFile(synth, path);
    if (Info) {
      if (!first) std::fputc('\n', stdout);
      PrintBankInfo(stdout, synth, *bank, path);
    } else {
      if (Banks.size() > 1) std::printf("%s%s:\n", first ? "" : "\n", path.c_str());
      PrintPresetList(stdout, synth, *bank);
    }
    first = false;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int Convert(const std::vector<std::string>& Inputs, const std::string& Output) {
  TSynth synth;
  std::vector<std::pair<std::string, TAttachedSoundFont*>> banks;
  for (const std::string& path : Inputs) banks.emplace_back(path, AttachBankFile(synth, path));
  for (const auto& [path, bank] : banks) {
    for (TSample* sample : synth.Samples) {
      if (sample->AttachedSoundFont != bank) continue;
      try {
        sample->Load(false);
      } catch (const EKelvane& e) {
        throw EToolError(path + ": sample \"" + sample->Name + "\" cannot be read (" + e.what() + ")");
      }
    }
  }
  // Written beside the target first, so that a failure never leaves half a bank under its name.
  const std::filesystem::path target = ToolPath(Output);
  std::filesystem::path temporary = target;
  temporary += ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) throw EToolError(Output + ": cannot write (" + std::strerror(errno) + ")");
    const bool saved = synth.SaveSoundFontExtended(out);
    out.close();
    if (!saved || !out) {
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      throw EToolError(Output + ": write failed");
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, target, error);
  if (error) {
    std::filesystem::remove(temporary, error);
    throw EToolError(Output + ": cannot write (" + error.message() + ")");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const kelvane::TProgramArguments arguments(argc, argv);
  std::vector<std::string> args(arguments.Strings().begin() + 1, arguments.Strings().end());
  if (args.empty()) UsageError("no command given");
  const std::string command = args[0];
  if (command == "-h" || command == "--help") {
    PrintUsage(stdout);
    return 0;
  }
  std::vector<std::string> inputs;
  std::string output;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "-o") {
      if (command != "convert") UsageError("-o is only for convert");
      if (i + 1 >= args.size()) UsageError("-o needs a file name");
      if (!output.empty()) UsageError("-o given twice");
      output = args[++i];
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      UsageError("invalid option '" + args[i] + "'");
    } else {
      inputs.push_back(args[i]);
    }
  }
  if (command != "info" && command != "list" && command != "convert") UsageError("unknown command '" + command + "'");
  if (inputs.empty()) UsageError("no bank file given");
  if (command == "convert" && output.empty()) UsageError("convert needs an output file: -o OUT.sfx");

  try {
    if (command == "convert") return Convert(inputs, output);
    return Describe(inputs, command == "info");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelvane-bank: %s\n", e.what());
  }
  return 1;
}
