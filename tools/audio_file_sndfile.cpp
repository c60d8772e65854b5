// OpenAudioFile through libsndfile: WAV, FLAC and Ogg Vorbis.

#include <sndfile.h>

#include <cctype>
#include <filesystem>

#include "banks/file_path.h"
#include "tools/audio_file_writer.h"
#include "tools/bank_report.h"

namespace kelvane {

namespace {

struct TSndFileCloser {
  void operator()(SNDFILE* File) const { sf_close(File); }
};

class TSndFileWriter final : public TAudioFileWriter {
 public:
  TSndFileWriter(std::string Path, SF_INFO Info) : fPath(std::move(Path)) {
    if (!sf_format_check(&Info)) throw EToolError(fPath + ": this sample format cannot be written in that container");
    fFile.reset(sf_open(fPath.c_str(), SFM_WRITE, &Info));
    if (!fFile) throw EToolError(fPath + ": cannot write (" + sf_strerror(nullptr) + ")");
    sf_command(fFile.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
  }

  void WriteFrames(const float* Interleaved, int64_t Frames) override {
    if (sf_writef_float(fFile.get(), Interleaved, Frames) != Frames)
      throw EToolError(fPath + ": write failed (" + sf_strerror(fFile.get()) + ")");
  }

  void Finish() override {
    if (sf_close(fFile.release()) != 0) throw EToolError(fPath + ": cannot finish the file");
  }

 private:
  std::string fPath;
  std::unique_ptr<SNDFILE, TSndFileCloser> fFile;
};

}  // namespace

std::unique_ptr<TAudioFileWriter> OpenAudioFile(const std::string& Path, int32_t Rate, TOutputSampleFormat Format) {
  std::string ext = ExtensionOf(Path);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const int sampleFormat = Format == TOutputSampleFormat::osfS16   ? SF_FORMAT_PCM_16
                           : Format == TOutputSampleFormat::osfS24 ? SF_FORMAT_PCM_24
                                                                   : SF_FORMAT_FLOAT;
  SF_INFO info{};
  info.samplerate = Rate;
  info.channels = 2;
  if (ext == ".flac") {
    if (Format == TOutputSampleFormat::osfF32) throw EToolError(Path + ": FLAC cannot hold f32 samples; use s16 or s24");
    info.format = SF_FORMAT_FLAC | sampleFormat;
  } else if (ext == ".ogg" || ext == ".oga") {
    info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
  } else if (ext == ".wav" || ext.empty()) {
    info.format = SF_FORMAT_WAV | sampleFormat;
  } else {
    throw EToolError(Path + ": unknown output extension '" + ext + "' (use .wav, .flac or .ogg)");
  }
  return std::make_unique<TSndFileWriter>(Path, info);
}

}  // namespace kelvane
