// Universal system-exclusive messages: master controls, GM2 Global Parameter
// Control, the MIDI Tuning Standard and the GM/DLS mode switches. Runs on the
// rendering thread between sub-blocks; allocates nothing.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "synth/channel.h"
#include "synth/synth.h"
#include "synth/voice.h"

namespace kelvane {

namespace {

constexpr uint8_t NonRealTime = 0x7E;
constexpr uint8_t RealTime = 0x7F;
constexpr uint8_t EndOfExclusive = 0xF7;

constexpr uint8_t SubIDDeviceControl = 0x04;
constexpr uint8_t SubIDTuning = 0x08;
constexpr uint8_t SubIDGeneralMIDI = 0x09;
constexpr uint8_t SubIDDLS = 0x0A;

// Bounds-checked view of one payload. The message ends before its first 0xF7,
// so the closing byte is never read as data whether or not the sender put it
// there; a payload without one counts in full.
class TSysExReader {
 public:
  TSysExReader(const uint8_t* Data, size_t Length) : fData(Data), fLength(Length) {
    const uint8_t* end = std::find(Data, Data + Length, EndOfExclusive);
    fLength = static_cast<size_t>(end - Data);
  }

  size_t Length() const { return fLength; }
  // True when Count bytes from Index lie inside the message.
  bool Has(size_t Index, size_t Count = 1) const { return Index <= fLength && Count <= fLength - Index; }
  // Unmasked byte; Index must be inside the message.
  uint8_t Raw(size_t Index) const { return fData[Index]; }
  // Data byte with bit 7 masked off.
  int32_t Byte(size_t Index) const { return fData[Index] & 0x7F; }
  int32_t Value14(size_t LSB, size_t MSB) const { return Byte(LSB) + 128 * Byte(MSB); }
  // Big-endian run of 7-bit groups; saturates instead of wrapping so that an
  // overlong field cannot alias a small parameter number.
  int32_t BigEndian7(size_t Index, size_t Count) const {
    int64_t value = 0;
    for (size_t i = 0; i < Count; i++) {
      value = std::min<int64_t>(value * 128 + Byte(Index + i), std::numeric_limits<int32_t>::max());
    }
    return static_cast<int32_t>(value);
  }

 private:
  const uint8_t* fData;
  size_t fLength;
};

// Three-byte frequency entry xx yy zz: key number plus a fraction of a
// semitone in 1/16384 steps. 7F 7F 7F means "no change".
bool ReadFrequency(const TSysExReader& Message, size_t Index, double& Semitones) {
  if (Message.Byte(Index) == 0x7F && Message.Byte(Index + 1) == 0x7F && Message.Byte(Index + 2) == 0x7F) return false;
  Semitones = Message.Byte(Index) + (128.0 * Message.Byte(Index + 1) + Message.Byte(Index + 2)) / 16384.0;
  return true;
}

// One-byte scale offset s: cents -64..+63 around 64.
double ScaleOffset1(const TSysExReader& Message, size_t Index) { return (Message.Byte(Index) - 64) * 0.01; }

// Two-byte scale offset (msb, lsb): -1..+1 semitone around 8192.
double ScaleOffset2(const TSysExReader& Message, size_t Index) {
  return (128 * Message.Byte(Index) + Message.Byte(Index + 1) - 8192) * (1.0 / 8192.0);
}

constexpr size_t FrequencyEntryBytes = 3;
constexpr size_t SingleNoteEntryBytes = 4;  // kk xx yy zz
constexpr size_t TuningNameBytes = 16;
constexpr size_t NoBankByte = 0;  // forms without a bank byte use tuning bank 0

class TSysExProcessor {
 public:
  TSysExProcessor(TSynth& Synth, const TSysExReader& Message) : fSynth(Synth), fMessage(Message) {}

  // True when the message was a tuning change that sounding notes must follow now.
  bool Process() {
    const TSysExReader& m = fMessage;
    if (!m.Has(0, 4)) return false;
    const int32_t manufacturer = m.Byte(0);
    if (manufacturer != NonRealTime && manufacturer != RealTime) return false;
    switch (m.Byte(2)) {
      case SubIDDeviceControl:
        DeviceControl();
        return false;
      case SubIDTuning:
        return Tuning() && manufacturer == RealTime;
      case SubIDGeneralMIDI:
        GeneralMIDI();
        return false;
      case SubIDDLS:
        DLS();
        return false;
      default:
        return false;
    }
  }

 private:
  void DeviceControl() {
    const TSysExReader& m = fMessage;
    const int32_t command = m.Byte(3);
    if (command >= 0x01 && command <= 0x04) {
      if (!m.Has(4, 2)) return;
      const int32_t value = m.Value14(4, 5);
      switch (command) {
        case 0x01:
          fSynth.MasterVolume = value / 16384.0;
          break;
        case 0x02:
          fSynth.MasterBalance = value / 16384.0;  // 8192 = centre
          break;
        case 0x03:
          fSynth.MasterFineTuning = (value - 8192) * (100.0 / 8192.0);  // cents
          break;
        default:
          fSynth.MasterCoarseTuning = (value - 8192) * (1.0 / 128.0);  // semitones
          break;
      }
    } else if (command == 0x05) {
      GlobalParameterControl();
    }
  }

  // sw pw vw, sw slot-path entries of two bytes, then pairs of a pw-byte
  // parameter number and a vw-byte value up to the end of the message.
  void GlobalParameterControl() {
    const TSysExReader& m = fMessage;
    if (!m.Has(4, 3)) return;
    const size_t slotCount = static_cast<size_t>(m.Byte(4));
    const size_t parameterBytes = static_cast<size_t>(m.Byte(5));
    const size_t valueBytes = static_cast<size_t>(m.Byte(6));
    const size_t firstPair = 7 + 2 * slotCount;
    if (!m.Has(7, 2 * slotCount)) return;

    int32_t slotPath[128];
    for (size_t i = 0; i < slotCount; i++) slotPath[i] = 128 * m.Byte(7 + 2 * i) + m.Byte(8 + 2 * i);
    const std::span<const int32_t> slots(slotPath, slotCount);

    const size_t pairBytes = parameterBytes + valueBytes;
    if (pairBytes == 0) {
      fSynth.GlobalParameterControlChange(slots, {}, {});
      return;
    }
    const size_t pairCount = (m.Length() - firstPair) / pairBytes;
    // Pairs are independent, so they go out in fixed-size batches: a long
    // message needs no buffer sized by its length.
    constexpr size_t BatchSize = 64;
    int32_t parameters[BatchSize];
    int32_t values[BatchSize];
    size_t pair = 0;
    do {
      const size_t batch = std::min(BatchSize, pairCount - pair);
      for (size_t i = 0; i < batch; i++) {
        const size_t at = firstPair + (pair + i) * pairBytes;
        parameters[i] = m.BigEndian7(at, parameterBytes);
        values[i] = m.BigEndian7(at + parameterBytes, valueBytes);
      }
      fSynth.GlobalParameterControlChange(slots, std::span<const int32_t>(parameters, batch),
                                          std::span<const int32_t>(values, batch));
      pair += batch;
    } while (pair < pairCount);
  }

  void GeneralMIDI() {
    switch (fMessage.Byte(3)) {
      case 0x01:
        fSynth.GeneralMIDIMode = 1;
        break;
      case 0x02:
        fSynth.GeneralMIDIMode = 0;
        break;
      case 0x03:
        fSynth.GeneralMIDIMode = 2;
        break;
      default:
        break;
    }
  }

  void DLS() {
    switch (fMessage.Byte(3)) {
      case 0x01:
        if (fSynth.GeneralMIDIMode == 0) fSynth.GeneralMIDIMode = 1;
        fSynth.VoiceAllocationAlgorithm = 1;
        break;
      case 0x02:
        fSynth.GeneralMIDIMode = 0;
        fSynth.VoiceAllocationAlgorithm = 0;
        break;
      case 0x03:
        fSynth.VoiceAllocationAlgorithm = 0;
        break;
      case 0x04:
        fSynth.VoiceAllocationAlgorithm = 1;
        break;
      default:
        break;
    }
  }

  // True when the message was applied (its table may have changed).
  bool Tuning() {
    const TSysExReader& m = fMessage;
    const int32_t manufacturer = m.Byte(0);
    const bool nonRealTimeOnly = manufacturer == NonRealTime;
    switch (m.Byte(3)) {
      case 0x01:  // bulk dump: program, name, 128 entries
        if (!nonRealTimeOnly || !m.Has(5 + TuningNameBytes, 128 * FrequencyEntryBytes)) return false;
        return KeyDump(NoBankByte, 4, 5 + TuningNameBytes);
      case 0x02:  // single-note change: program, ll, entries
        if (manufacturer != RealTime || !m.Has(4, 2)) return false;
        return SingleNotes(NoBankByte, 4, 5);
      case 0x04:  // key-based dump with bank
        if (!nonRealTimeOnly || !m.Has(6 + TuningNameBytes, 128 * FrequencyEntryBytes)) return false;
        return KeyDump(4, 5, 6 + TuningNameBytes);
      case 0x05:  // scale/octave dump, 1-byte form
        if (!nonRealTimeOnly || !m.Has(6 + TuningNameBytes, 12)) return false;
        return ScaleDump(6 + TuningNameBytes, 1);
      case 0x06:  // scale/octave dump, 2-byte form
        if (!nonRealTimeOnly || !m.Has(6 + TuningNameBytes, 24)) return false;
        return ScaleDump(6 + TuningNameBytes, 2);
      case 0x07:  // single-note change with bank: bank, program, ll, entries
        if (!m.Has(4, 3)) return false;
        return SingleNotes(4, 5, 6);
      case 0x08:  // scale/octave per channel, 1-byte form
        if (!m.Has(4, 3 + 12)) return false;
        ChannelScale(1);
        return true;
      case 0x09:  // scale/octave per channel, 2-byte form
        if (!m.Has(4, 3 + 24)) return false;
        ChannelScale(2);
        return true;
      default:
        return false;
    }
  }

  // Bank and program of a tuning table; false when either byte is not 7-bit.
  bool SelectTable(size_t BankIndex, size_t ProgramIndex, TTuningTable*& Table) const {
    const uint8_t bank = BankIndex == NoBankByte ? 0 : fMessage.Raw(BankIndex);
    const uint8_t program = fMessage.Raw(ProgramIndex);
    if (bank > 127 || program > 127) return false;
    Table = &fSynth.TuningTables->Edit(bank, program);
    return true;
  }

  void MarkTablesChanged() { fSynth.TuningTablesChanged.store(true); }

  bool KeyDump(size_t BankIndex, size_t ProgramIndex, size_t FirstEntry) {
    TTuningTable* table = nullptr;
    if (!SelectTable(BankIndex, ProgramIndex, table)) return false;
    for (size_t key = 0; key < 128; key++) {
      double semitones = 0.0;
      if (ReadFrequency(fMessage, FirstEntry + key * FrequencyEntryBytes, semitones)) (*table)[key] = semitones;
    }
    MarkTablesChanged();
    return true;
  }

  // Entries i = 0..ll, each applied only when it lies whole inside the message.
  bool SingleNotes(size_t BankIndex, size_t ProgramIndex, size_t CountIndex) {
    TTuningTable* table = nullptr;
    if (!SelectTable(BankIndex, ProgramIndex, table)) return false;
    const size_t count = static_cast<size_t>(fMessage.Byte(CountIndex));
    for (size_t i = 0; i <= count; i++) {
      const size_t at = CountIndex + 1 + i * SingleNoteEntryBytes;
      if (!fMessage.Has(at, SingleNoteEntryBytes)) break;
      const uint8_t key = fMessage.Raw(at);
      double semitones = 0.0;
      if (key > 127 || !ReadFrequency(fMessage, at + 1, semitones)) continue;
      (*table)[key] = semitones;
    }
    MarkTablesChanged();
    return true;
  }

  bool ScaleDump(size_t FirstOffset, size_t OffsetBytes) {
    TTuningTable* table = nullptr;
    if (!SelectTable(4, 5, table)) return false;
    double offsets[12];
    ReadScale(FirstOffset, OffsetBytes, offsets);
    for (size_t key = 0; key < 128; key++) (*table)[key] = static_cast<double>(key) + offsets[key % 12];
    MarkTablesChanged();
    return true;
  }

  // Channel mask ff gg hh: bit n selects channel index n.
  void ChannelScale(size_t OffsetBytes) {
    const TSysExReader& m = fMessage;
    const int32_t mask = (m.Byte(4) & 3) * 16384 + m.Byte(5) * 128 + m.Byte(6);
    double offsets[12];
    ReadScale(7, OffsetBytes, offsets);
    for (size_t channelIndex = 0; channelIndex < fSynth.Channels.size(); channelIndex++) {
      if ((mask & (1 << channelIndex)) == 0) continue;
      TChannel& channel = *fSynth.Channels[channelIndex];
      for (size_t key = 0; key < 128; key++) channel.TuningTable[key] = offsets[key % 12];
      channel.TuningTableChanged.store(true);
    }
  }

  void ReadScale(size_t First, size_t OffsetBytes, double (&Offsets)[12]) const {
    for (size_t i = 0; i < 12; i++) {
      const size_t at = First + i * OffsetBytes;
      Offsets[i] = OffsetBytes == 1 ? ScaleOffset1(fMessage, at) : ScaleOffset2(fMessage, at);
    }
  }

  TSynth& fSynth;
  const TSysExReader& fMessage;
};

}  // namespace

void TSynth::ReserveTuningTable(const TMIDIEvent& Event) {
  if (Event.Command != 0xF0 || Event.SysEx == nullptr || Event.SysExLength == 0) return;
  const TSysExReader m(Event.SysEx, Event.SysExLength);
  if (!m.Has(0, 6) || (m.Byte(0) != NonRealTime && m.Byte(0) != RealTime) || m.Byte(2) != SubIDTuning) return;
  size_t bank = 0;
  size_t program = 0;
  switch (m.Byte(3)) {
    case 0x01:
    case 0x02:
      program = m.Raw(4);
      break;
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x07:
      bank = m.Raw(4);
      program = m.Raw(5);
      break;
    default:
      return;
  }
  // A message that would be ignored may still reserve: the table reads the same.
  if (bank < TTuningTables::Banks && program < TTuningTables::Programs) TuningTables->Reserve(bank, program);
}

void TSynth::ProcessEventSysEx(const TMIDIEvent& Event) {
  if (Event.SysEx == nullptr || Event.SysExLength == 0) return;
  const TSysExReader message(Event.SysEx, Event.SysExLength);
  TSysExProcessor processor(*this, message);
  if (processor.Process()) RetuneSoundingNotes();
}

void TSynth::RetuneSoundingNotes() {
  for (int32_t i = 0; i < NumberOfVoices; i++) {
    TVoice& voice = *Voices[static_cast<size_t>(i)];
    if (voice.Active) {
      voice.UpdatePitch();
      voice.UpdateParameter(-1);  // generator -1: the key pitch
    }
  }
}

}  // namespace kelvane
