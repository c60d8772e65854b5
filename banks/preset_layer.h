#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "banks/object_list.h"
#include "banks/preset_layer_lists.h"
#include "synth/generators.h"
#include "synth/synth_class.h"

namespace kelvane {

class TSynth;
class TSample;
class TAttachedSoundFont;

enum TPresetLayerSelectorType : uint8_t {
  lstNONE = 0,
  lstBANKRANGE = 1,              // bank 0..16384; applied when the lookup table is built
  lstPROGRAMRANGE = 2,           // program 0..127; applied when the lookup table is built
  lstNOTERANGE = 3,              // key number
  lstVELOCITYRANGE = 4,          // note-on velocity
  lstCONTROLLER7BITRANGE = 5,    // controller fCCLo
  lstCONTROLLER14BITRANGE = 6,   // controllers fCCHi (high 7 bits) and fCCLo (low 7 bits)
  lstCHANNELRANGE = 7,           // channel index 0..15
  lstPITCHBENDRANGE = 8,         // pitch-bend value
  lstCHANNELPRESSURERANGE = 9,   // channel pressure
  lstKEYPRESSURERANGE = 10       // last key pressure
};

// Inclusive range.
struct TPresetLayerSelectorRange {
  int32_t Lo = 0;
  int32_t Hi = 127;
};

// A condition under which a layer sounds. A plain value (no TSynthClass
// base): layers hold their selectors inline.
class TPresetLayerSelector {
 public:
  TPresetLayerSelectorType SelectorType() const { return fSelectorType; }
  void SetSelectorType(TPresetLayerSelectorType value) { fSelectorType = value; }
  int16_t CCHi() const { return fCCHi; }
  void SetCCHi(int16_t value) { fCCHi = value; }
  int16_t CCLo() const { return fCCLo; }
  void SetCCLo(int16_t value) { fCCLo = value; }
  const TPresetLayerSelectorRange& Range() const { return fRange; }
  void SetRange(const TPresetLayerSelectorRange& value) { fRange = value; }
  void SetRange(int32_t lo, int32_t hi) { fRange = {lo, hi}; }

  bool Accepts(int32_t value) const { return fRange.Lo <= value && value <= fRange.Hi; }
  // Value of a controller selector from a 128-entry controller table; the
  // numbers and values are masked as the note-on test does.
  int32_t ControllerValue(const uint8_t* controllers) const;

  TPresetLayerSelectorType fSelectorType = lstNONE;
  int16_t fCCHi = 0;  // controller number of the high part
  int16_t fCCLo = 0;  // controller number of the low part
  TPresetLayerSelectorRange fRange;
};

// A plain value (no TSynthClass base): layers hold their generators in one array.
class TPresetLayerGenerator {
 public:
  TPresetLayerGenerator() = default;
  TPresetLayerGenerator(int32_t generator, int32_t value) : fGenerator(generator), fValue(value) {}

  int32_t Generator() const { return fGenerator; }
  void SetGenerator(int32_t value) { fGenerator = value; }
  int32_t Value() const { return fValue; }
  void SetValue(int32_t value) { fValue = value; }

  int32_t fGenerator = 0;  // generator number -1..168
  int32_t fValue = 0;      // raw value in the generator's unit
};

// fDest of a modulator that feeds another: this bit plus the target's fID.
inline constexpr int32_t ModulatorLinkFlag = 0x8000;
inline constexpr int32_t ModulatorLinkIDMask = 0x7FFF;
// True for a positive destination with the link bit set.
bool IsModulatorLinkDestination(int32_t dest);

class TPresetLayerModulator;
using TPresetLayerModulatorList = TSharedItemList<TPresetLayerModulator>;

// A modulator record; its evaluation and linking belong to the voice.
class TPresetLayerModulator : public TSynthClass {
 public:
  TPresetLayerModulator() : fLinkedSourceModulators(false) {}

  const std::string& Name() const { return fName; }
  void SetName(const std::string& value) { fName = value; }
  int32_t Index() const { return fIndex; }
  int32_t ID() const { return fID; }
  void SetID(int32_t value) { fID = value; }
  int32_t IDGroup() const { return fIDGroup; }
  void SetIDGroup(int32_t value) { fIDGroup = value; }
  int32_t Dest() const { return fDest; }
  void SetDest(int32_t value) { fDest = value; }
  int32_t Src1() const { return fSrc1; }
  void SetSrc1(int32_t value) { fSrc1 = value; }
  int32_t Flags1() const { return fFlags1; }
  void SetFlags1(int32_t value) { fFlags1 = value; }
  int32_t Src2() const { return fSrc2; }
  void SetSrc2(int32_t value) { fSrc2 = value; }
  int32_t Flags2() const { return fFlags2; }
  void SetFlags2(int32_t value) { fFlags2 = value; }
  double Amount() const { return fAmount; }
  void SetAmount(double value) { fAmount = value; }
  int32_t LinkedDestinationModulator() const { return fLinkedDestinationModulator; }
  TPresetLayerModulatorList& LinkedSourceModulators() { return fLinkedSourceModulators; }
  const TPresetLayerModulatorList& LinkedSourceModulators() const { return fLinkedSourceModulators; }

  std::string fName;  // UTF-8; empty from the loaders
  int32_t fIndex = 0;  // position in the owning layer's Modulators
  int32_t fID = -1;    // link identifier; -1 = none
  int32_t fIDGroup = -1;
  // A generator number, or bit 15 set and the low 15 bits the fID of another
  // modulator of the same fIDGroup.
  int32_t fDest = 0;
  int32_t fSrc1 = 0;
  int32_t fFlags1 = 0;
  int32_t fSrc2 = 0;
  int32_t fFlags2 = 0;
  double fAmount = 0.0;  // in the destination generator's unit
  int32_t fLinkedDestinationModulator = -1;      // index of the modulator this one feeds
  TPresetLayerModulatorList fLinkedSourceModulators;  // not owning
  bool fProcessed = false;
  // Belongs to the process-wide default modulator table: never written nor freed by a layer.
  bool fShared = false;
};

inline bool IsShared(const TPresetLayerModulator* m) { return m->fShared; }
// A layer's own copy of m (not shared, no link sources).
TPresetLayerModulator* Clone(const TPresetLayerModulator& m);

struct TPresetLayerCuePoints {
  bool Active = false;
  std::vector<int32_t> Points;  // sample positions
  int32_t RootKey = 0;
};

struct TPresetLayerEnvelopePoint {
  int32_t Mode = 0;
  int32_t Time = 0;
  int32_t Value = 0;
};

// A multi-point envelope; when not Active the generator-driven one is used.
struct TPresetLayerEnvelope {
  bool Active = false;
  std::vector<TPresetLayerEnvelopePoint> Points;
  int32_t LoopStart = 0;  // point indices
  int32_t LoopEnd = 0;
  int32_t SustainLoopStart = 0;
  int32_t SustainLoopEnd = 0;
};

struct TPresetLayerCrossFade {
  int32_t CrossFadeType = 0;
  int32_t CurveType = 0;
  int32_t CCLo = 0;
  int32_t CCHi = 0;
  int32_t Invert = 0;  // 32-bit boolean
  int32_t Threshold = 0;
  int32_t InStart = 0;
  int32_t InEnd = 0;
  int32_t OutStart = 0;
  int32_t OutEnd = 0;
};
using TPresetLayerCrossFades = std::vector<TPresetLayerCrossFade>;

class TPresetLayer;
using TPresetLayerList = TObjectGenericList<TPresetLayer>;
// Layers of the loaders have two selectors (bank and program, or key and velocity).
using TPresetLayerSelectorList = TPresetLayerValueList<TPresetLayerSelector, 2>;
using TPresetLayerGeneratorList = TPresetLayerValueList<TPresetLayerGenerator, 0>;

// Voice limit of a layer whose path sets no MaxPolyphony.
inline constexpr int32_t PresetLayerNoPolyphonyLimit = 8192;

// One node of the preset/layer tree. The constructor does not insert the
// layer into the parent's Layers: the caller adds it.
class TPresetLayer : public TSynthClass {
 public:
  TPresetLayer(TSynth* ownerSynth, TPresetLayer* parent);
  ~TPresetLayer() override;
  TPresetLayer(const TPresetLayer&) = delete;
  TPresetLayer& operator=(const TPresetLayer&) = delete;

  void Reset() {}
  // Empties the layer, freeing the whole subtree.
  void Clear();
  // Over the subtree: NextLayer null, polyphony cache 8192 and null.
  void RecacheReset();
  // Over the subtree, top-down: the polyphony group of each layer.
  void Recache();
  // Defaults, then the values of this layer and its ancestors, nearest first;
  // the first item of a generator number wins. Allocates nothing.
  void FillGeneratorValues(TGenValues& genValues) const;
  void SetGenerator(int32_t generator, int32_t value);
  void AddGenerator(int32_t generator, int32_t value);
  TPresetLayerSelector* AddSelector();
  TPresetLayerModulator* AddModulator(int32_t dest, int32_t src1, int32_t flags1, int32_t src2, int32_t flags2,
                                      double amount, int32_t id, int32_t idGroup);
  // sf204: the bank is a SoundFont 2.04 or later (changes the velocity-to-cutoff row).
  // On a layer without modulators the list shares the process-wide table of
  // the set; a later change to one of them copies that one (see TSharedItemList).
  void AddDefaultModulators(bool sf204);
  // When the layer's first modulators are a default set exactly as
  // AddDefaultModulators makes it, points them at the shared table (a bank
  // reader that builds its own records calls this before SetupLinkedModulators).
  void ShareDefaultModulators();
  // Resolves links between modulators (fLinkedDestinationModulator,
  // fLinkedSourceModulators, HasLinkedModulators) and, when there are any,
  // lists every modulator in OrderedModulators after all that feed it. Run by
  // the loaders once a layer's modulators are complete; cycles are broken.
  void SetupLinkedModulators();

  bool HasChildren() const { return Layers.Count() > 0; }

  int32_t CacheMaxPolyphony = PresetLayerNoPolyphonyLimit;
  TPresetLayer* CacheMaxPolyphonyPresetLayer = nullptr;  // layer whose MaxPolyphony defines the group
  TAttachedSoundFont* AttachedSoundFont = nullptr;       // null for the root
  bool Active = true;                  // set by TSynth::Recache from the bank's enable bitmap
  TPresetLayer* NextLayer = nullptr;   // lookup-table chain
  TPresetLayer* Parent;
  TSynth* Synth;
  std::string Name;
  TPresetLayerList Layers;
  TPresetLayerSelectorList Selectors;
  TPresetLayerGeneratorList Generators;
  TPresetLayerModulatorList Modulators;
  TPresetLayerModulatorList OrderedModulators;  // not owning
  TPresetLayerCuePoints CuePoints;
  TPresetLayerEnvelope VolEnvelope;
  TPresetLayerEnvelope ModEnvelope;
  TPresetLayerEnvelope Mod2Envelope;
  TPresetLayerCrossFades Crossfades;
  TSample* Sample = nullptr;  // leaves only
  int32_t MaxPolyphony = 0;   // <= 0: not set
  bool HasLinkedModulators = false;
};

}  // namespace kelvane
