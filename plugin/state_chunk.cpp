#include "plugin/state_chunk.h"

#include <cmath>
#include <string_view>

#include "plugin/bson.h"

namespace kelvane {

namespace {

constexpr double TuningTableEpsilon = 0.000001;
constexpr int32_t ChunkChannelCount = 16;

TSwitch ToSwitch(bool on) { return on ? SwitchOn : SwitchOff; }

// ---------------------------------------------------------------- writing

void WriteBank(TBSONWriter& w, const TBank& bank) {
  w.BeginDocument("");
  w.String("filename", bank.FileName);
  w.Boolean("activeallbankprograms", bank.ActiveAllBankPrograms != SwitchOff);
  w.BeginArray("activebankprograms");
  const auto& words = bank.ActiveBankProgramBitmap->Words;
  for (int32_t word = 0; word < TActiveBankProgramBitmap::WordCount; ++word) {
    if (words[static_cast<size_t>(word)] == 0) continue;
    for (int32_t bit = 0; bit < 32; ++bit) {
      const int32_t index = word * 32 + bit;
      if (index >= PresetLayerEntryCount || !bank.ActiveBankProgramBitmap->TestIndex(index)) continue;
      w.BeginDocument("");
      w.Int32("bank", index / PresetProgramCount);
      w.Int32("program", index % PresetProgramCount);
      w.End();
    }
  }
  w.End();
  w.End();
}

void WriteChannel(TBSONWriter& w, const TVSTiMIDIChannel& channel) {
  w.BeginDocument("");
  w.Int32("bank", channel.BankIndex);
  w.Int32("program", channel.ProgramIndex);
  w.Boolean("enforcebankandprogram", channel.HasFlag(mcfEnforceBankAndProgram));
  w.Boolean("tuningtableactive", channel.HasFlag(mcfTuningTableActive));
  w.String("tuningtablename", channel.TuningTableName);
  bool hasTable = false;
  for (double pitch : channel.TuningTable) hasTable = hasTable || std::fabs(pitch) > TuningTableEpsilon;
  if (hasTable) {
    w.BeginArray("tuningtable");
    for (double pitch : channel.TuningTable) w.Double("", pitch);
    w.End();
  } else {
    w.Null("tuningtable");
  }
  w.End();
}

void WriteProgram(TBSONWriter& w, std::string_view key, const TVSTiProgram& program) {
  const TVSTiData& d = program.Data;
  w.BeginDocument(key);
  w.String("name", program.Name);
  w.String("skin", program.Skin);
  w.Int32("voices", d.Voices);
  w.Double("volume", d.Volume);
  w.Double("balance", d.Balance);
  w.Int32("coarsetuning", d.CoarseTuning);
  w.Int32("finetuning", d.FineTuning);
  w.Int32("resamplingmethod", d.ResamplingMethod);
  w.Int32("resamplinginterpolationmode", d.ResamplingInterpolationMode);
  w.Boolean("agc", d.AGC != SwitchOff);
  w.Boolean("resampleloopwrapping", d.ResampleLoopWrapping != SwitchOff);
  w.Int32("generalmidimode", d.GeneralMIDIMode);
  w.Int32("voiceallocationalgorithm", d.VoiceAllocationAlgorithm);
  w.Boolean("emu10k1mode", d.EMU10K1Mode != SwitchOff);
  w.Boolean("chorus", d.Chorus != SwitchOff);
  w.Boolean("reverb", d.Reverb != SwitchOff);
  w.Boolean("multithreaded", d.MultiThreaded != SwitchOff);
  w.Boolean("skinneduserinterface", d.SkinnedUserInterface != SwitchOff);
  w.Boolean("ignoresamplelinks", d.IgnoreSampleLinks != SwitchOff);
  w.Boolean("lowervolumebyminus6db", d.LowerVolumeByMinus6dB != SwitchOff);
  w.BeginArray("parameters");
  for (int32_t i = TVSTiParameters::First; i <= TVSTiParameters::Last; ++i) w.Double("", program.Parameters[i]);
  w.End();
  w.BeginArray("banks");
  for (const auto& bank : program.Banks) WriteBank(w, *bank);
  w.End();
  w.BeginArray("midichannels");
  for (const TVSTiMIDIChannel& channel : program.MIDIChannels) WriteChannel(w, channel);
  w.End();
  w.End();
}

// ---------------------------------------------------------------- reading

bool IsStart(const TBSONToken& t) {
  return t.Kind == TBSONTokenKind::StartDocument || t.Kind == TBSONTokenKind::StartArray;
}

// Reads the elements of a document whose start token was consumed, handing
// each key with the first token of its value to onElement.
template <typename F>
void ReadElements(TBSONReader& r, F&& onElement) {
  for (;;) {
    TBSONToken token = r.Next();
    if (token.Kind == TBSONTokenKind::EndDocument) return;
    if (token.Kind != TBSONTokenKind::Key) throw EKelvaneBSONError();
    const std::string key = std::move(token.Key);
    onElement(key, r.Next());
  }
}

// Reads the elements of an array whose start token was consumed; every
// element must be a document, handed to onDocument after its start token.
template <typename F>
void ReadDocumentArray(TBSONReader& r, F&& onDocument) {
  for (int32_t index = 0;; ++index) {
    const TBSONToken token = r.Next();
    if (token.Kind == TBSONTokenKind::EndArray) return;
    if (token.Kind != TBSONTokenKind::StartDocument) throw EKelvaneBSONError();
    onDocument(index);
  }
}

// Any value a key does not use is skipped whole, nested values included.
void Skip(TBSONReader& r, const TBSONToken& first) {
  if (first.Kind == TBSONTokenKind::Value || IsStart(first)) {
    r.SkipValue(first);
    return;
  }
  throw EKelvaneBSONError();
}

void ReadActiveBankPrograms(TBSONReader& r, TActiveBankProgramBitmap& bitmap) {
  bitmap.Clear();
  ReadDocumentArray(r, [&](int32_t) {
    int32_t bank = -1;
    int32_t program = -1;
    ReadElements(r, [&](const std::string& key, const TBSONToken& value) {
      if (value.Kind == TBSONTokenKind::Value && key == "bank") {
        bank = value.Value.AsInteger();
      } else if (value.Kind == TBSONTokenKind::Value && key == "program") {
        program = value.Value.AsInteger();
      } else {
        Skip(r, value);
      }
    });
    if (bank >= 0 && bank <= PercussionBank && program >= 0 && program < PresetProgramCount)
      bitmap.Set(bank, program, true);
  });
}

void ReadBanks(TBSONReader& r, TVSTiProgram& program) {
  program.Banks.clear();
  ReadDocumentArray(r, [&](int32_t) {
    TBank& bank = *program.Banks.emplace_back(std::make_unique<TBank>());
    ReadElements(r, [&](const std::string& key, const TBSONToken& value) {
      const bool scalar = value.Kind == TBSONTokenKind::Value;
      if (scalar && key == "filename") {
        bank.FileName = value.Value.AsText();
      } else if (scalar && key == "activeallbankprograms") {
        bank.ActiveAllBankPrograms = ToSwitch(value.Value.AsBoolean());
      } else if (value.Kind == TBSONTokenKind::StartArray && key == "activebankprograms") {
        ReadActiveBankPrograms(r, *bank.ActiveBankProgramBitmap);
      } else {
        Skip(r, value);
      }
    });
  });
}

void ReadTuningTable(TBSONReader& r, TTuningTable& table) {
  size_t index = 0;
  for (;;) {
    const TBSONToken token = r.Next();
    if (token.Kind == TBSONTokenKind::EndArray) return;
    if (token.Kind != TBSONTokenKind::Value || !token.Value.IsNumeric()) throw EKelvaneBSONError();
    if (index < table.size()) table[index++] = token.Value.AsDouble();
  }
}

void ReadChannels(TBSONReader& r, TVSTiProgram& program) {
  for (TVSTiMIDIChannel& channel : program.MIDIChannels) channel = TVSTiMIDIChannel();
  ReadDocumentArray(r, [&](int32_t index) {
    if (index >= ChunkChannelCount) {
      TBSONToken start;
      start.Kind = TBSONTokenKind::StartDocument;
      r.SkipValue(start);
      return;
    }
    TVSTiMIDIChannel& channel = program.MIDIChannels[static_cast<size_t>(index)];
    ReadElements(r, [&](const std::string& key, const TBSONToken& value) {
      const bool scalar = value.Kind == TBSONTokenKind::Value;
      if (scalar && key == "bank") {
        channel.BankIndex = value.Value.AsInteger();
      } else if (scalar && key == "program") {
        channel.ProgramIndex = value.Value.AsInteger();
      } else if (scalar && key == "tuningtablename") {
        channel.TuningTableName = value.Value.AsText();
      } else if (scalar && key == "enforcebankandprogram") {
        channel.SetFlag(mcfEnforceBankAndProgram, value.Value.AsBoolean());
      } else if (scalar && key == "tuningtableactive") {
        channel.SetFlag(mcfTuningTableActive, value.Value.AsBoolean());
      } else if (key == "tuningtable") {
        if (value.Kind == TBSONTokenKind::StartArray) {
          ReadTuningTable(r, channel.TuningTable);
        } else if (!(scalar && value.Value.Type == TBSONType::Null)) {
          throw EKelvaneBSONError();
        }
      } else {
        Skip(r, value);
      }
    });
    if (channel.IsSet()) channel.SetFlag(mcfHasNewBankOrProgram, true);
  });
}

void ReadParameters(TBSONReader& r, TVSTiProgram& program) {
  bool first = true;
  for (;;) {
    const TBSONToken token = r.Next();
    if (token.Kind == TBSONTokenKind::EndArray) return;
    if (token.Kind != TBSONTokenKind::Value || !token.Value.IsNumeric()) throw EKelvaneBSONError();
    if (first) program.Parameters[TVSTiParameters::First] = static_cast<float>(token.Value.AsDouble());
    first = false;
  }
}

bool IsKeyOf(std::string_view key, std::initializer_list<std::string_view> keys) {
  for (std::string_view k : keys)
    if (key == k) return true;
  return false;
}

void ReadProgram(TBSONReader& r, TVSTiProgram& program) {
  TVSTiData& d = program.Data;
  ReadElements(r, [&](const std::string& key, const TBSONToken& value) {
    const bool scalar = value.Kind == TBSONTokenKind::Value;
    const bool array = value.Kind == TBSONTokenKind::StartArray;
    if (scalar && IsKeyOf(key, {"name", "skin"})) {
      (key == "name" ? program.Name : program.Skin) = value.Value.AsText();
    } else if (scalar && IsKeyOf(key, {"voices", "coarsetuning", "finetuning", "resamplingmethod",
                                       "resamplinginterpolationmode", "generalmidimode",
                                       "voiceallocationalgorithm"})) {
      const int32_t v = value.Value.AsInteger();
      if (key == "voices") d.Voices = v;
      else if (key == "coarsetuning") d.CoarseTuning = v;
      else if (key == "finetuning") d.FineTuning = v;
      else if (key == "resamplingmethod") d.ResamplingMethod = v;
      else if (key == "resamplinginterpolationmode") d.ResamplingInterpolationMode = v;
      else if (key == "generalmidimode") d.GeneralMIDIMode = v;
      else d.VoiceAllocationAlgorithm = v;
    } else if (scalar && IsKeyOf(key, {"volume", "balance"})) {
      (key == "volume" ? d.Volume : d.Balance) = static_cast<float>(value.Value.AsDouble());
    } else if (scalar && IsKeyOf(key, {"agc", "resampleloopwrapping", "emu10k1mode", "chorus", "reverb",
                                       "multithreaded", "skinneduserinterface", "ignoresamplelinks",
                                       "lowervolumebyminus6db"})) {
      const TSwitch v = ToSwitch(value.Value.AsBoolean());
      if (key == "agc") d.AGC = v;
      else if (key == "resampleloopwrapping") d.ResampleLoopWrapping = v;
      else if (key == "emu10k1mode") d.EMU10K1Mode = v;
      else if (key == "chorus") d.Chorus = v;
      else if (key == "reverb") d.Reverb = v;
      else if (key == "multithreaded") d.MultiThreaded = v;
      else if (key == "skinneduserinterface") d.SkinnedUserInterface = v;
      else if (key == "ignoresamplelinks") d.IgnoreSampleLinks = v;
      else d.LowerVolumeByMinus6dB = v;
    } else if (array && key == "parameters") {
      ReadParameters(r, program);
    } else if (array && key == "banks") {
      ReadBanks(r, program);
    } else if (array && key == "midichannels") {
      ReadChannels(r, program);
    } else {
      Skip(r, value);
    }
  });
}

}  // namespace

std::vector<uint8_t> WriteProgramChunk(const TVSTiProgram& program, bool isPreset) {
  TBSONWriter w;
  if (isPreset) {
    WriteProgram(w, "program", program);
  } else {
    w.BeginArray("programs");
    WriteProgram(w, "", program);
    w.End();
  }
  return w.Finish();
}

void ReadProgramChunk(const uint8_t* data, size_t size, bool isPreset, TVSTiProgram& program) {
  TBSONReader r(data, size);
  while (r.Peek().Kind == TBSONTokenKind::StartDocument) {
    r.Next();
    ReadElements(r, [&](const std::string& key, const TBSONToken& value) {
      if (isPreset && key == "program" && value.Kind == TBSONTokenKind::StartDocument) {
        ReadProgram(r, program);
      } else if (!isPreset && key == "programs" && value.Kind == TBSONTokenKind::StartArray) {
        ReadDocumentArray(r, [&](int32_t) { ReadProgram(r, program); });
      } else {
        Skip(r, value);
      }
    });
  }
}

}  // namespace kelvane
