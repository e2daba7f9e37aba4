// The "[SDK] " console lines.
#pragma once

#include <ostream>
#include <sstream>

namespace tarvo {

// Writes one line with a single write, so that lines from different threads never
// interleave within a line; no flush, as for every console line.
template <typename... Parts>
void writeLine(std::ostream& stream, const Parts&... parts) {
    std::ostringstream line;
    (line << ... << parts) << '\n';
    stream << line.str();
}

}  // namespace tarvo
