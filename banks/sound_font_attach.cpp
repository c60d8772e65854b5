// TSynth's bank attachment: format dispatch, SF2 attach and detaching.

#include "banks/attached_sound_font.h"
#include "banks/dls_bank.h"
#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "banks/sf2_bank.h"
#include "banks/sf2_reader.h"
#include "synth/synth.h"

namespace kelvane {

namespace {

// Extended-format (SFX) banks are recognised first; the stream stays with the
// caller unless the new bank keeps it.
TAttachedSoundFont* AttachExtendedSoundFont(TSynth& synth, TStreamPtr& stream, bool delayLoadSamples) {
  return synth.LoadSoundFontExtended(stream, delayLoadSamples, true);
}

// DLS banks (also inside RMID) come next; a DLS-looking stream that fails to
// open falls through to SF2. Same stream rule as above.
TAttachedSoundFont* AttachDLSSoundFont(TSynth& synth, TStreamPtr& stream, bool) {
  return AttachDLSBank(synth, stream);
}

TSFSoundBankInfo ToSoundBankInfo(const TSF2Info& info) {
  TSFSoundBankInfo r;
  r.EngineName = info.EngineName;
  r.ROMName = info.ROMName;
  r.ROMVersion.Major = info.ROMVersionMajor;
  r.ROMVersion.MInor = info.ROMVersionMinor;
  r.BankName = info.BankName;
  r.Date = info.Date;
  r.Author = info.Author;
  r.Product = info.Product;
  r.Copyright = info.Copyright;
  r.Comment = info.Comment;
  r.Software = info.Software;
  return r;
}

void ReleaseStream(TAttachedSoundFont& bank) {
  bank.Stream.reset();
  bank.SmplOfs = 0;
  bank.SM24Ofs = 0;
}

TAttachedSoundFont* AttachSF2SoundFont(TSynth& synth, TStreamPtr stream, bool delayLoadSamples) {
  TSF2File file;
  const TSF2ReadResult result = file.Read(*stream);
  if (result == srrNotSF2) return nullptr;  // the stream goes with `stream`

  auto* bank = new TAttachedSoundFont(&synth);
  synth.AttachedSoundFonts.Add(bank);
  bank->Stream = std::move(stream);
  bank->SoundBankType = sbtSF2;
  if (result == srrTruncated) {
    // The empty bank entry stays until it is detached.
    ReleaseStream(*bank);
    return nullptr;
  }

  bank->SoundBankInfo = ToSoundBankInfo(file.Info);
  bank->SmplOfs = file.SmplOfs;
  bank->SM24Ofs = file.SM24Ofs;
  const std::vector<TSample*> samples = CreateSF2Samples(&synth, synth.Samples, file);
  BuildSF2PresetLayers(&synth, *synth.RootPresetLayer, bank, file, samples);
  LinkSF2Samples(samples, bank, synth.DoHandleLinkedSamples);
  if (!delayLoadSamples) {
    for (TSample* s : samples) s->Load(false);
    ReleaseStream(*bank);
  }
  return bank;
}

}  // namespace

TAttachedSoundFont* TSynth::AttachSoundFont(TStreamPtr Stream, bool DelayLoadSamples) {
  if (!Stream) return nullptr;
  TAttachedSoundFont* bank = AttachExtendedSoundFont(*this, Stream, DelayLoadSamples);
  if (!bank) bank = AttachDLSSoundFont(*this, Stream, DelayLoadSamples);
  if (!bank && Stream) bank = AttachSF2SoundFont(*this, std::move(Stream), DelayLoadSamples);
  if (bank) {
    SoundBankInfo = bank->SoundBankInfo;
    Recache();
  }
  return bank;
}

namespace {

// Children last to first, each subtree cleaned before its own root is judged.
void DeleteBankLayers(TPresetLayer& layer, const TAttachedSoundFont* bank) {
  for (int64_t i = layer.Layers.Count() - 1; i >= 0; --i) {
    TPresetLayer* child = layer.Layers[i];
    DeleteBankLayers(*child, bank);
    if (child->AttachedSoundFont == bank) layer.Layers.Delete(i);
  }
}

}  // namespace

void TSynth::DetachSoundFont(TAttachedSoundFont* aAttachedSoundFont, bool aWithData) {
  if (!aAttachedSoundFont) return;
  struct TRemoveBank {
    TSynth& Synth;
    TAttachedSoundFont* Bank;
    ~TRemoveBank() { Synth.AttachedSoundFonts.Remove(Bank); }
  } removeBank{*this, aAttachedSoundFont};

  if (aWithData) {
    for (int64_t i = Samples.Count() - 1; i >= 0; --i) {
      if (Samples[i]->AttachedSoundFont == aAttachedSoundFont) Samples.Delete(i);
    }
    if (RootPresetLayer) DeleteBankLayers(*RootPresetLayer, aAttachedSoundFont);
  }
  ReleaseStream(*aAttachedSoundFont);
}

void TSynth::DetachSoundFonts(bool aWithData) {
  if (aWithData) {
    for (int64_t i = AttachedSoundFonts.Count() - 1; i >= 0; --i) DetachSoundFont(AttachedSoundFonts[i], true);
    return;
  }
  // Samples and layers stay and still point at the banks: the caller clears
  // them (TSynth::Clear) before they are used again.
  for (TAttachedSoundFont* bank : AttachedSoundFonts) ReleaseStream(*bank);
  AttachedSoundFonts.Clear();
}

}  // namespace kelvane
