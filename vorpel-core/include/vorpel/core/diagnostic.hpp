// The system's defined diagnostics (loading warnings, reader notices): one
// line each on the process's standard error, written unbuffered.
#pragma once

#include <string_view>

namespace vorpel {

// Writes line plus a line end to file descriptor 2 in one write(), so that a
// parent reading the stream sees whole lines in call order. Write failures are
// ignored: a diagnostic must never change the outcome of the call.
void diagnostic_line(std::string_view line);

}  // namespace vorpel
