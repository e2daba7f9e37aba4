// The "[SDK] " console lines, and where they go.
#pragma once

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

namespace tarvo {

enum class ConsoleStream { Out, Err };

// Takes one whole line, its line feed included.
using ConsoleSink = std::function<void(ConsoleStream stream, std::string_view line)>;

// Writes the line to standard output or error with a single write, so that lines from
// different threads never interleave within a line; no flush, as for every console line.
inline void writeToStandardStreams(ConsoleStream stream, std::string_view line) {
    (stream == ConsoleStream::Out ? std::cout : std::cerr) << line;
}

template <typename... Parts>
std::string composeLine(const Parts&... parts) {
    std::ostringstream line;
    (line << ... << parts) << '\n';
    return std::move(line).str();
}

}  // namespace tarvo
