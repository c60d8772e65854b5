#pragma once

// The output file of kelvane-render. libsndfile writes WAV, FLAC and Ogg where
// it is installed; otherwise a built-in writer covers WAV alone, so the tool
// builds without it (the Windows cross-build).

#include <cstdint>
#include <memory>
#include <string>

namespace kelvane {

enum class TOutputSampleFormat { osfS16, osfS24, osfF32 };

class TAudioFileWriter {
 public:
  virtual ~TAudioFileWriter() = default;
  // Interleaved stereo; integer formats clip at full scale.
  virtual void WriteFrames(const float* Interleaved, int64_t Frames) = 0;
  // Completes the file (headers, flush); throws EToolError when that fails.
  virtual void Finish() = 0;
};

// The container comes from the extension (none means WAV). Throws EToolError
// naming the file for an unknown or unsupported extension and format, or a
// file that cannot be created.
std::unique_ptr<TAudioFileWriter> OpenAudioFile(const std::string& Path, int32_t Rate, TOutputSampleFormat Format);

// The built-in WAV writer, whatever library the tool uses.
std::unique_ptr<TAudioFileWriter> OpenWavFile(const std::string& Path, int32_t Rate, TOutputSampleFormat Format);

}  // namespace kelvane
