#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "banks/sf2_builder.h"
#include "plugin/vsti_plugin.h"
#include "synth/generators.h"

namespace kelvane {
long AllocationCount();

namespace {

std::string WriteBankFile() {
  test::Sf2Builder b;
  std::vector<int16_t> frames(400);
  for (size_t i = 0; i < frames.size(); ++i) frames[i] = static_cast<int16_t>((i % 100) * 300 - 15000);
  b.sample("Saw", frames).loop(100, 300).pitch(60);
  b.instrument("Saw").zone().gen(gen::sampleModes, 1).sampleId(0);
  b.preset("Saw", 0, 0).zone().instrument(0);
  const std::vector<uint8_t> bytes = b.build();
  const std::string path = std::string(KELVANE_BINARY_DIR) + "/plugin_allocation_test_bank.sf2";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return {};
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  return path;
}

TEST(PluginAllocation, SteadyStateBlocksAllocateNothing) {
  const std::string path = WriteBankFile();
  ASSERT_FALSE(path.empty());
  auto plugin = std::make_unique<TVSTiPlugin>(nullptr);
  auto bank = std::make_unique<TBank>();
  bank->FileName = path;
  bank->ActiveAllBankPrograms = SwitchOn;
  plugin->Programs[0].Banks.push_back(std::move(bank));
  plugin->Programs[0].MIDIChannels[0].BankIndex = 0;
  plugin->Programs[0].MIDIChannels[0].ProgramIndex = 0;  // enforced: sent every block
  plugin->ChangeProgram(0);
  AEffect* effect = plugin->GetEffect();
  effect->dispatcher(effect, effSetBlockSize, 0, 512, nullptr, 0.0f);

  std::vector<float> left(512), right(512);
  float* outputs[2] = {left.data(), right.data()};
  VstMidiEvent on{}, off{}, control{};
  for (VstMidiEvent* e : {&on, &off, &control}) {
    e->type = kVstMidiType;
    e->byteSize = sizeof(VstMidiEvent);
  }
  struct {
    VstInt32 numEvents;
    VstIntPtr reserved;
    VstEvent* events[3];
  } block{3, 0, {reinterpret_cast<VstEvent*>(&off), reinterpret_cast<VstEvent*>(&on),
                 reinterpret_cast<VstEvent*>(&control)}};

  auto runBlock = [&](int32_t i) {
    const char key = static_cast<char>(48 + i % 24);
    on.deltaFrames = 300;  // delivered out of order
    on.midiData[0] = char(0x90);
    on.midiData[1] = key;
    on.midiData[2] = 100;
    off.deltaFrames = 10;
    off.midiData[0] = char(0x80);
    off.midiData[1] = static_cast<char>(key - 1);
    control.deltaFrames = 20;
    control.midiData[0] = char(0xB0);
    control.midiData[1] = 7;
    control.midiData[2] = static_cast<char>(i % 128);
    effect->dispatcher(effect, effProcessEvents, 0, 0, &block, 0.0f);
    effect->processReplacing(effect, nullptr, outputs, 512);
  };

  for (int32_t i = 0; i < 50; ++i) runBlock(i);  // warm-up: free stacks and voices fill
  const long before = AllocationCount();
  for (int32_t i = 50; i < 250; ++i) runBlock(i);
  EXPECT_EQ(AllocationCount() - before, 0);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace kelvane
