#include <gtest/gtest.h>

#include <vector>

#include "synth_test_support.h"

namespace kelvane::test {
namespace {

class EventQueue : public ::testing::Test {
 protected:
  // Markers (Data[0]) from head to tail, checking the links both ways.
  std::vector<int> Queue() const {
    std::vector<int> markers;
    const TMIDIEvent* previous = nullptr;
    for (const TMIDIEvent* e = Synth->EventFirst; e != nullptr; e = e->Next) {
      EXPECT_EQ(e->Previous, previous);
      markers.push_back(e->Data[0]);
      previous = e;
    }
    EXPECT_EQ(Synth->EventLast, previous);
    return markers;
  }
  void Add(int64_t position, uint8_t marker) { Synth->AddEvent(MakeEvent(position, 0x90, marker)); }

  std::unique_ptr<TRecordingSynth> Synth = std::make_unique<TRecordingSynth>();
};

TEST_F(EventQueue, FirstEventBecomesHeadTailAndCurrent) {
  Add(100, 1);
  EXPECT_EQ(Synth->EventFirst, Synth->EventLast);
  EXPECT_EQ(Synth->CurrentEvent, Synth->EventFirst);
  EXPECT_EQ(Synth->EventFirst->Data[0], 1);
}

TEST_F(EventQueue, InsertsByPositionKeepingArrivalOrderOfEqualPositions) {
  Add(10, 1);
  Add(30, 2);
  Add(20, 3);
  Add(20, 4);  // after the earlier 20
  Add(30, 5);  // equal to the tail: appended
  Add(40, 6);
  Add(10, 7);  // after the earlier 10, before 20
  EXPECT_EQ(Queue(), (std::vector<int>{1, 7, 3, 4, 2, 5, 6}));
}

TEST_F(EventQueue, EarlierThanEverythingBecomesHeadAndCurrent) {
  Add(50, 1);
  Add(60, 2);
  ASSERT_EQ(Synth->CurrentEvent->Data[0], 1);
  Add(5, 3);
  EXPECT_EQ(Queue(), (std::vector<int>{3, 1, 2}));
  EXPECT_EQ(Synth->CurrentEvent->Data[0], 3);
}

TEST_F(EventQueue, AppendingNeverChangesCurrentEvent) {
  Add(0, 1);
  Add(100, 2);
  std::vector<TBufferSample> out(50);
  Synth->FillBuffer(out.data(), 50);  // dispatches event 1, current is now event 2
  ASSERT_EQ(Synth->CurrentEvent->Data[0], 2);
  Add(200, 3);
  EXPECT_EQ(Synth->CurrentEvent->Data[0], 2);
  // Inserting before the current (non-head) event makes the new one current.
  Add(60, 4);
  EXPECT_EQ(Synth->CurrentEvent->Data[0], 4);
  EXPECT_EQ(Queue(), (std::vector<int>{1, 4, 2, 3}));
}

TEST_F(EventQueue, ClearEventsRecyclesRecordsThroughTheFreeList) {
  Add(1, 1);
  Add(2, 2);
  Add(3, 3);
  std::vector<const TMIDIEvent*> records;
  for (const TMIDIEvent* e = Synth->EventFirst; e != nullptr; e = e->Next) records.push_back(e);

  Synth->ClearEvents();
  EXPECT_EQ(Synth->EventFirst, nullptr);
  EXPECT_EQ(Synth->EventLast, nullptr);
  EXPECT_EQ(Synth->CurrentEvent, nullptr);
  std::vector<const TMIDIEvent*> freeList;
  for (const TMIDIEvent* e = Synth->EventNextFree; e != nullptr; e = e->Next) {
    EXPECT_EQ(e->Previous, nullptr);
    freeList.push_back(e);
  }
  // Pushed in queue order, so the tail is on top.
  EXPECT_EQ(freeList, (std::vector<const TMIDIEvent*>{records[2], records[1], records[0]}));

  Add(7, 9);
  EXPECT_EQ(Synth->EventFirst, records[2]);
  EXPECT_EQ(Synth->EventNextFree, records[1]);
  EXPECT_EQ(Queue(), std::vector<int>{9});
}

TEST_F(EventQueue, SysExPayloadIsOwnedAndFreedOnRecyclingAndClear) {
  // Leak or double free shows up under the sanitizer build.
  for (int round = 0; round < 3; round++) {
    TMIDIEvent sysex = MakeEvent(0, 0xF0, 1);
    sysex.SysExLength = 4;
    sysex.SysEx = new uint8_t[4]{0x7E, 0x7F, 0x09, 0xF7};
    Synth->AddEvent(sysex);
    std::vector<TBufferSample> out(8);
    Synth->FillBuffer(out.data(), 8);
    Synth->ClearEvents();
  }
  TMIDIEvent pending = MakeEvent(10, 0xF0, 2);
  pending.SysExLength = 2;
  pending.SysEx = new uint8_t[2]{0x7E, 0xF7};
  Synth->AddEvent(pending);
  Synth->Clear();
  EXPECT_EQ(Synth->EventNextFree, nullptr);
  EXPECT_EQ(Synth->EventFirst, nullptr);
}

}  // namespace
}  // namespace kelvane::test
