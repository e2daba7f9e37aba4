// Confirming and reporting a lost connection, and reconnecting with a doubling delay.
#include "sdk.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
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

// Hands a loss report to the reconnect run, which confirms it (see confirmLoss). Called
// by the connection-lost callback, which must not wait.
void SDK::reportLossToConfirm(const char* cause) {
    try {
        run.report(cause != nullptr ? cause : "unknown");
    } catch (const std::system_error& error) {
        say(ConsoleStream::Err, "[SDK] Reconnect thread could not be started: ", error.what());
    }
}

// The run's body: confirms each reported loss and, after one, reconnects with the
// settings of the session it was reported in.
void SDK::lossRun() {
    const std::shared_ptr<const Session> reportedIn = session();
    while (const std::optional<std::string> cause = run.take(true)) {
        if (confirmLoss(*cause)) {
            reportLoss();
            if (reportedIn->autoReconnect && run.enabled()) {
                reconnectLoop(*reportedIn);
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

void SDK::reconnectLoop(const Session& session) {
    // A loss that leaves no client of the library connected makes it stop its receiving
    // thread, which has marked itself stopping but is still running when the loss is
    // reported. A connect that comes in that window finds it "running", starts no new
    // one, and waits its whole connect timeout for a CONNACK nobody reads (the library
    // offers no way to see or wait for the thread's end). The thread ends within
    // moments, and a new one costs the library 100 ms to start anyway: the first
    // attempt waits that long (stop and new reports still end the wait at once).
    if (client.noClientConnected()) {
        run.wait(kLibraryThreadStopGrace);
    }
    int delay = 1;
    for (;;) {
        if (const std::optional<std::string> cause = run.take(false); cause && confirmLoss(*cause)) {
            reportLoss();
            delay = 1;
        }
        std::string failureNote;
        std::optional<int> rc = attemptReconnect(session, failureNote);
        if (!rc) {
            return;
        }
        if (*rc == MQTTCLIENT_SUCCESS) {
            say(ConsoleStream::Out, "[SDK] Reconnected successfully to ", session.serverUri);
            try {
                callConnectionHandler(true, 0);
            } catch (...) {
                reportHandlerFailure("connection handler (reconnected)");
            }
            confirmLossBeforeCounted();  // a loss found there is handed to this run
            return;
        }
        say(ConsoleStream::Err, "[SDK] Reconnect failed, rc=", *rc, failureNote, ". Retrying in ", delay, "s");
        run.wait(std::chrono::seconds(delay));
        delay = nextDelay(delay, session.maxReconnectInterval);
    }
}

// One attempt, or none (nullopt) when the run is over: stopped, or connected by the
// application meanwhile (the connection's phase keeps two attempts from racing).
std::optional<int> SDK::attemptReconnect(const Session& session, std::string& failureNote) {
    if (!run.enabled() || connection.beginConnect(true) != ConnectionState::ConnectStart::Go) {
        return std::nullopt;
    }
    ConnectionState::Attempt attempt(connection);
    if (!run.enabled()) {
        return std::nullopt;
    }
    say(ConsoleStream::Out, "[SDK] Attempting to reconnect...");
    const int rc = connectLibraryClient(session, failureNote);
    if (rc == MQTTCLIENT_SUCCESS) {
        attempt.opened();
    }
    return rc;
}

}  // namespace tarvo
