#include "synth/tuning_table.h"

namespace kelvane {

TTuningTable EqualTemperament() {
  TTuningTable table{};
  for (size_t key = 0; key < table.size(); key++) table[key] = static_cast<double>(key);
  return table;
}

TTuningTables::TTuningTables() {
  for (auto& spare : fSpare) spare = std::make_unique<TTuningTable>(EqualTemperament());
}

TTuningTables::TTuningTables(const TTuningTables& from) : TTuningTables() { *this = from; }

TTuningTables& TTuningTables::operator=(const TTuningTables& from) {
  if (&from == this) return *this;
  for (size_t i = 0; i < fTables.size(); i++) {
    if (from.fTables[i]) {
      fTables[i] = std::make_unique<TTuningTable>(*from.fTables[i]);
    } else {
      fTables[i].reset();
    }
  }
  return *this;
}

TTuningTables::~TTuningTables() = default;

std::unique_ptr<TTuningTable> TTuningTables::Take() {
  for (auto& spare : fSpare) {
    if (spare) return std::move(spare);
  }
  return std::make_unique<TTuningTable>(EqualTemperament());
}

TTuningTable& TTuningTables::Edit(size_t Bank, size_t Program) {
  std::unique_ptr<TTuningTable>& table = fTables[Bank * Programs + Program];
  if (!table) table = Take();
  return *table;
}

void TTuningTables::Reserve(size_t Bank, size_t Program) {
  std::unique_ptr<TTuningTable>& table = fTables[Bank * Programs + Program];
  if (!table) table = std::make_unique<TTuningTable>(EqualTemperament());
}

void TTuningTables::Reset() {
  const TTuningTable equal = EqualTemperament();
  for (auto& table : fTables) {
    if (table) *table = equal;
  }
}

size_t TTuningTables::StoredTables() const {
  size_t count = 0;
  for (const auto& table : fTables) count += table ? 1 : 0;
  return count;
}

bool TTuningTables::operator==(const TTuningTables& other) const {
  for (size_t bank = 0; bank < Banks; bank++) {
    for (size_t program = 0; program < Programs; program++) {
      if (!Find(bank, program) && !other.Find(bank, program)) continue;
      for (size_t key = 0; key < 128; key++) {
        if (Pitch(bank, program, key) != other.Pitch(bank, program, key)) return false;
      }
    }
  }
  return true;
}

}  // namespace kelvane
