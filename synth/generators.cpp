#include "synth/generators.h"

namespace kelvane {

void InitGeneratorTables() {}

}  // namespace kelvane
