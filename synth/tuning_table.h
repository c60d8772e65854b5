#pragma once

#include <array>
#include <cstddef>
#include <memory>

namespace kelvane {

// One pitch (or pitch offset) in semitones per MIDI key.
using TTuningTable = std::array<double, 128>;

// The synth's 128 x 128 tuning tables, [tuning bank][tuning program][key],
// absolute pitches in semitones. Nearly every table stays equal temperament
// (pitch = key), so a table is stored only once something writes it.
// Reads may run on render threads; writes and Reserve run on the thread that
// owns the synth, never while it renders.
class TTuningTables {
 public:
  static constexpr size_t Banks = 128;
  static constexpr size_t Programs = 128;

  TTuningTables();
  TTuningTables(const TTuningTables& from);
  TTuningTables& operator=(const TTuningTables& from);
  ~TTuningTables();

  // Semitones of Key (0..127) in table Bank/Program (0..127 each).
  double Pitch(size_t Bank, size_t Program, size_t Key) const {
    const TTuningTable* table = fTables[Bank * Programs + Program].get();
    return table ? (*table)[Key] : static_cast<double>(Key);
  }
  // The stored table, or nullptr while it is equal temperament.
  const TTuningTable* Find(size_t Bank, size_t Program) const { return fTables[Bank * Programs + Program].get(); }
  // The table for writing; a table not stored yet starts as equal
  // temperament, from Reserve, the spare pool, or (when both are used up)
  // a fresh allocation.
  TTuningTable& Edit(size_t Bank, size_t Program);
  // Stores the table ahead of a write (allocates), so that Edit needs no
  // allocation when the write comes on the render thread.
  void Reserve(size_t Bank, size_t Program);
  // Every table back to equal temperament. Stored tables are kept for the
  // next write: a reservation made before stays valid.
  void Reset();
  // Number of tables stored (equal temperament or not).
  size_t StoredTables() const;

  // Compares pitches, however the tables are stored.
  bool operator==(const TTuningTables& other) const;

 private:
  static constexpr size_t SpareTables = 4;

  std::unique_ptr<TTuningTable> Take();

  std::array<std::unique_ptr<TTuningTable>, Banks * Programs> fTables;
  std::array<std::unique_ptr<TTuningTable>, SpareTables> fSpare;
};

// Equal temperament: one semitone per key.
TTuningTable EqualTemperament();

}  // namespace kelvane
