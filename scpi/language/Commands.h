// The command table: every header this instrument knows, with what it does.
#pragma once

#include "ScpiSyntax.h"
#include "SessionState.h"

#include <string>
#include <vector>

namespace tarvo::scpi {

// Runs one program message unit: its header resolved against `path` (the keywords a header without a leading
// ':' continues from, updated for the next unit), its answer, if any, appended to `answers`.
void RunUnit(SessionState& s, const ProgramUnit& unit, std::vector<Mnemonic>& path, std::vector<std::string>& answers);

}  // namespace tarvo::scpi
