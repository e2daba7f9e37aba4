// Reporting a lost connection and reconnecting with a doubling delay.
#include "console.hpp"
#include "sdk.hpp"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <optional>
#include <system_error>

namespace tarvo {

namespace {
constexpr auto kLibraryThreadStopGrace = std::chrono::milliseconds(100);

// Doubles the delay up to the cap without overflowing; a negative cap counts as 0.
int nextDelay(int delay, int cap) {
    cap = std::max(cap, 0);
    return delay > cap / 2 ? cap : delay * 2;
}
}  // namespace

// Called by the connection-lost callback. At most one loss run exists per object: a loss
// reported while one is still going is handed to it instead of starting another.
void SDK::startLossRun() {
    std::lock_guard lock(stopMutex);
    if (lossRunActive) {
        ++pendingLosses;
        stopSignal.notify_all();
        return;
    }
    // The previous run has ended but its thread may still be exiting; the new thread
    // joins it, since the library's callback must not wait.
    if (!retiredThread.joinable()) {
        retiredThread = std::move(reconnectThread);
    }
    try {
        reconnectThread = std::thread(&SDK::lossRun, this);
        lossRunActive = true;
    } catch (const std::system_error& error) {
        writeLine(std::cerr, "[SDK] Reconnect thread could not be started: ", error.what());
    }
}

void SDK::lossRun() {
    std::thread retired;
    {
        std::lock_guard lock(stopMutex);
        retired = std::move(retiredThread);
    }
    if (retired.joinable()) {
        retired.join();
    }
    do {
        reportLoss();
        if (running.load() && autoReconnect) {
            reconnectLoop();
        }
    } while (takePendingLoss(true));
}

void SDK::reportLoss() {
    try {
        callConnectionHandler(false, -1);
    } catch (...) {
        reportHandlerFailure("connection handler (connection lost)");
    }
}

// Takes one loss reported while this run was going. With endRun, a run that finds
// none ends under the same lock, so no loss can slip between the test and the end.
bool SDK::takePendingLoss(bool endRun) {
    std::lock_guard lock(stopMutex);
    if (pendingLosses > 0) {
        --pendingLosses;
        return true;
    }
    if (endRun) {
        lossRunActive = false;
    }
    return false;
}

void SDK::reconnectLoop() {
    // A loss that leaves no client of the process connected makes the library stop its
    // receiving thread, which has marked itself stopping but is still running when the
    // loss is reported. A connect that comes in that window finds it "running", starts
    // no new one, and waits its whole connect timeout for a CONNACK nobody reads (the
    // library offers no way to see or wait for the thread's end). The thread ends within
    // moments, and a new one costs the library 100 ms to start anyway: the first
    // attempt waits that long (stop and new losses still end the wait at once).
    if (LibraryClient::noClientConnected()) {
        std::unique_lock lock(stopMutex);
        stopSignal.wait_for(lock, kLibraryThreadStopGrace, [this] { return !running.load() || pendingLosses > 0; });
    }
    int delay = 1;
    for (;;) {
        if (takePendingLoss(false)) {
            reportLoss();
            delay = 1;
        }
        std::optional<int> rc = attemptReconnect();
        if (!rc) {
            return;
        }
        if (*rc == MQTTCLIENT_SUCCESS) {
            try {
                callConnectionHandler(true, 0);
            } catch (...) {
                reportHandlerFailure("connection handler (reconnected)");
            }
            if (lostBeforeCounted()) {
                loseConnection(nullptr);  // handed to this run, which goes on
            }
            return;
        }
        writeLine(std::cerr, "[SDK] Reconnect failed, rc=", *rc, ". Retrying in ", delay, "s");
        std::unique_lock lock(stopMutex);
        // stop and a new loss notify under stopMutex, so neither can be missed here.
        stopSignal.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::seconds(delay),
                              [this] { return !running.load() || pendingLosses > 0; });
        delay = nextDelay(delay, maxReconnectInterval);
    }
}

// One attempt, or none (nullopt) when the run is over: stopped, or connected by the
// application meanwhile (tested under the connection lock, so two attempts never race).
std::optional<int> SDK::attemptReconnect() {
    std::lock_guard connectionLock(connectionMutex);
    if (!running.load() || connected.load() || !client) {
        return std::nullopt;
    }
    std::cout << "[SDK] Attempting to reconnect...\n";
    // The connection-lost callback that started this run may not have returned yet;
    // connecting under it leaves the library without its receiving thread.
    client.route().waitForIdle(true);
    client.route().endQueueRelease();
    int rc = connectLibraryClient();
    if (rc == MQTTCLIENT_SUCCESS) {
        connected.exchange(true);
        LibraryClient::connectionOpened();
        writeLine(std::cout, "[SDK] Reconnected successfully to ", serverUri);
    }
    return rc;
}

// Clears running, wakes the loop and joins every thread of ours; returns once none is
// left. Never called from a handler of this object.
void SDK::endReconnectRun() {
    std::thread run;
    std::thread retired;
    {
        std::lock_guard lock(stopMutex);
        running.exchange(false);
        stopSignal.notify_all();
        run = std::move(reconnectThread);
        retired = std::move(retiredThread);
    }
    if (retired.joinable()) {
        retired.join();
    }
    if (run.joinable()) {
        run.join();
    }
}

}  // namespace tarvo
