// OpenAudioFile without libsndfile: WAV only.

#include <cctype>
#include <filesystem>

#include "banks/file_path.h"
#include "tools/audio_file_writer.h"
#include "tools/bank_report.h"

namespace kelvane {

std::unique_ptr<TAudioFileWriter> OpenAudioFile(const std::string& Path, int32_t Rate, TOutputSampleFormat Format) {
  std::string ext = ExtensionOf(Path);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == ".wav" || ext.empty()) return OpenWavFile(Path, Rate, Format);
  if (ext == ".flac" || ext == ".ogg" || ext == ".oga")
    throw EToolError(Path + ": this build writes WAV only ('" + ext + "' needs libsndfile); use .wav");
  throw EToolError(Path + ": unknown output extension '" + ext + "' (use .wav)");
}

}  // namespace kelvane
