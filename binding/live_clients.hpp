// The clients alive in this process, so that interpreter exit can stop them first.
#pragma once

#include "abandoned_calls.hpp"
#include "console_logger.hpp"
#include "sdk.hpp"

#include <memory>

namespace tarvo::binding {

// The SDK object that Python creates: the core object, made known to the exit hook and
// reporting handler failures to Python, with the calls an interrupt abandoned and the
// logger its console lines may go to.
class BoundSDK final : public SDK {
public:
    BoundSDK();
    ~BoundSDK();
    BoundSDK(const BoundSDK&) = delete;
    BoundSDK& operator=(const BoundSDK&) = delete;

    AbandonedCalls abandonedCalls;
    // Shared with the core's console sink, which outlives this part of the object.
    const std::shared_ptr<ConsoleLogger> consoleLogger;

private:
    explicit BoundSDK(std::shared_ptr<ConsoleLogger> logger);
};

// Stops every live client. Run from an atexit hook: after it, no library or reconnect
// thread needs the interpreter while it finalizes (a thread that tries then hangs).
// After an interrupt, without waiting for the acknowledgements of messages in flight.
void stopLiveClients(bool interrupted);

// The exit hook, with the interpreter lock held: stopLiveClients, waited for in short
// slices on the thread that handles signals. A signal handler that raises meanwhile (a
// second Ctrl-C) ends the process at once.
void stopLiveClientsAtExit(bool interrupted);

}  // namespace tarvo::binding
