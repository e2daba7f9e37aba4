// A client's console lines sent to a Python logger in place of standard output and
// error (enable_logger), and the end of all such delivery before the interpreter exits.
#pragma once

#include "console.hpp"

#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>
#include <string_view>

namespace tarvo::binding {

// Where one client's "[SDK] " lines go: the console, or a logger's log(level, message).
//
// A line may come from any thread: the caller's (without the interpreter lock), a worker
// that runs a call for the signal-handling thread (its lines go back to the waiting
// caller, as its connection events do), the library's receiving thread or the module's
// reconnect thread. Each takes the interpreter lock to log, as a handler call does, and
// that is safe for the same reason: no thread of this module waits for anything while
// it holds the interpreter lock, and no line is written with a lock of the core held.
class ConsoleLogger {
public:
    ConsoleLogger() = default;
    ~ConsoleLogger();
    ConsoleLogger(const ConsoleLogger&) = delete;
    ConsoleLogger& operator=(const ConsoleLogger&) = delete;

    // The sink the core writes through.
    static ConsoleSink sinkOf(std::shared_ptr<ConsoleLogger> logger);

    // The client whose lines these are, once it is constructed: inside the logger, its
    // calls are refused as inside its handlers (a logger that stopped its client from
    // a line of the reconnect thread would wait for itself).
    void belongsTo(const void* client) { client_ = client; }

    // With the interpreter lock held. An empty object sends the lines to the console again.
    void set(pybind11::object logger);

private:
    void write(ConsoleStream stream, std::string_view line);
    void deliver(ConsoleStream stream, std::string_view line);

    const void* client_ = nullptr;
    std::atomic<bool> set_{false};
    pybind11::object logger_;  // read and written with the interpreter lock held
};

// From an exit hook, before the interpreter finalizes (a thread that asks for the
// interpreter lock after that blocks for ever): waits for the lines being logged, and
// sends every later line to the console.
void endLoggingForExit();
// In a forked child: the threads that were logging in the parent are not here.
void resetLoggingAfterFork();

}  // namespace tarvo::binding
