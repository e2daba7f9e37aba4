// The clients alive in this process, so that interpreter exit can stop them first.
#pragma once

#include "sdk.hpp"

namespace tarvo::binding {

// The SDK object that Python creates: the core object, made known to the exit hook and
// reporting handler failures to Python.
class BoundSDK final : public SDK {
public:
    BoundSDK();
    ~BoundSDK() override;
};

// Stops every live client. Run from an atexit hook: after it, no library or reconnect
// thread needs the interpreter while it finalizes (a thread that tries then hangs).
void stopLiveClients();

}  // namespace tarvo::binding
