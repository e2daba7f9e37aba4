// Reading the plugin's files without ever blocking on them.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

namespace tarvo::broker {

enum class Readers {
    any,        // the file may be readable by anyone
    owner_only, // refused if its group or others may read it
};

// Reads the whole of the file at `path`, which must be a regular file. It is
// opened without blocking and checked through the opened descriptor, so a FIFO
// or a device is refused instead of stopping the broker, and the checks apply
// to the very file that is read even if the path is swapped meanwhile.
// `what` names the file in messages, e.g. "private key file".
// Throws std::runtime_error; the content read so far is wiped first.
std::string read_regular_file(const std::string &path, std::string_view what, Readers readers,
                              std::size_t max_size = std::numeric_limits<std::size_t>::max());

} // namespace tarvo::broker
