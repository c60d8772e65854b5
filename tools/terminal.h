#pragma once

namespace kelvane {

// Whether stderr is an interactive terminal (the progress bar's condition).
bool StderrIsTerminal();

}  // namespace kelvane
