// Confirming and reporting a lost connection, and reconnecting with a doubling delay.
#include "sdk.hpp"

#include <algorithm>
#include <chrono>
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

// Hands a loss report to the reconnect run, which confirms it (see confirmLoss). At
// most one run exists per object: a report that comes while one is going is handed to
// it instead of starting another. Called by the connection-lost callback, which must
// not wait.
void SDK::reportLossToConfirm(const char* cause) {
    LockGuard lock(stopMutex);
    reportedLosses.emplace_back(cause != nullptr ? cause : "unknown");
    if (lossRunActive) {
        stopSignal.notify_all();
        return;
    }
    // The previous run has ended but its thread may still be exiting; the new thread
    // joins it.
    if (!retiredThread.joinable()) {
        retiredThread = std::move(reconnectThread);
    }
    try {
        reconnectThread = std::thread(&SDK::lossRun, this);
        lossRunActive = true;
    } catch (const std::system_error& error) {
        reportedLosses.clear();
        say(ConsoleStream::Err, "[SDK] Reconnect thread could not be started: ", error.what());
    }
}

void SDK::lossRun() {
    std::thread retired;
    {
        LockGuard lock(stopMutex);
        retired = std::move(retiredThread);
    }
    if (retired.joinable()) {
        retired.join();
    }
    std::string cause;
    while (takeReportedLoss(cause, true)) {
        if (confirmLoss(cause)) {
            reportLoss();
            if (running.load() && autoReconnect) {
                reconnectLoop();
            }
        }
    }
}

void SDK::reportLoss() {
    try {
        callConnectionHandler(false, -1);
    } catch (...) {
        reportHandlerFailure("connection handler (connection lost)");
    }
}

// Takes the oldest loss report not yet confirmed. With endRun, a run that finds none
// ends under the same lock, so no report can slip between the test and the end.
bool SDK::takeReportedLoss(std::string& cause, bool endRun) {
    LockGuard lock(stopMutex);
    if (!reportedLosses.empty()) {
        cause = std::move(reportedLosses.front());
        reportedLosses.pop_front();
        return true;
    }
    if (endRun) {
        lossRunActive = false;
    }
    return false;
}

void SDK::reconnectLoop() {
    // A loss that leaves no client of the library connected makes it stop its receiving
    // thread, which has marked itself stopping but is still running when the loss is
    // reported. A connect that comes in that window finds it "running", starts no new
    // one, and waits its whole connect timeout for a CONNACK nobody reads (the library
    // offers no way to see or wait for the thread's end). The thread ends within
    // moments, and a new one costs the library 100 ms to start anyway: the first
    // attempt waits that long (stop and new reports still end the wait at once).
    if (client.noClientConnected()) {
        UniqueLock lock(stopMutex);
        lock.wait_for(stopSignal, kLibraryThreadStopGrace,
                      [this]() TARVO_REQUIRES(stopMutex) { return !running.load() || !reportedLosses.empty(); });
    }
    int delay = 1;
    std::string cause;
    for (;;) {
        if (takeReportedLoss(cause, false) && confirmLoss(cause)) {
            reportLoss();
            delay = 1;
        }
        std::optional<int> rc = attemptReconnect();
        if (!rc) {
            return;
        }
        if (*rc == MQTTCLIENT_SUCCESS) {
            say(ConsoleStream::Out, "[SDK] Reconnected successfully to ", serverUri);
            try {
                callConnectionHandler(true, 0);
            } catch (...) {
                reportHandlerFailure("connection handler (reconnected)");
            }
            confirmLossBeforeCounted();  // a loss found there is handed to this run
            return;
        }
        say(ConsoleStream::Err, "[SDK] Reconnect failed, rc=", *rc, ". Retrying in ", delay, "s");
        UniqueLock lock(stopMutex);
        // stop and a new report notify under stopMutex, so neither can be missed here.
        lock.wait_until(stopSignal, std::chrono::steady_clock::now() + std::chrono::seconds(delay),
                        [this]() TARVO_REQUIRES(stopMutex) { return !running.load() || !reportedLosses.empty(); });
        delay = nextDelay(delay, maxReconnectInterval);
    }
}

// One attempt, or none (nullopt) when the run is over: stopped, or connected by the
// application meanwhile (the connection's phase keeps two attempts from racing).
std::optional<int> SDK::attemptReconnect() {
    if (!running.load() || connection.beginConnect(true) != ConnectionState::ConnectStart::Go) {
        return std::nullopt;
    }
    ConnectionState::Attempt attempt(connection);
    if (!running.load()) {
        return std::nullopt;
    }
    say(ConsoleStream::Out, "[SDK] Attempting to reconnect...");
    const int rc = connectLibraryClient();
    if (rc == MQTTCLIENT_SUCCESS) {
        client.connectionOpened();
        attempt.opened();
    }
    return rc;
}

// Clears running, wakes the loop and joins every thread of ours; returns once none is
// left. Never called from a handler of this object.
void SDK::endReconnectRun() {
    std::thread run;
    std::thread retired;
    {
        LockGuard lock(stopMutex);
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
