// Confirming and reporting a lost connection, reconnecting with a doubling delay, and
// retrying a failed connect at a steady interval.
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
// settings of the session it was reported in; retries a failed connect.
void SDK::lossRun() {
    const std::shared_ptr<const Session> reportedIn = session();
    while (const std::optional<ReconnectRun::Task> task = run.take(true)) {
        if (task->kind == ReconnectRun::Task::Kind::RetryConnect) {
            if (run.enabled()) {
                reconnectLoop(*reportedIn, Retrying::FailedConnect);
            }
        } else if (confirmLoss(task->cause)) {
            reportLoss();
            if (reportedIn->autoReconnect && run.enabled()) {
                reconnectLoop(*reportedIn, Retrying::AfterLoss);
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

// After a loss the first attempt comes at once, and the delay doubles from 1 s up to
// maxReconnectInterval; a failed connect is retried every connectRetryInterval seconds,
// the first time after one interval (it has just failed). A loss of a connection the
// application made meanwhile turns a retry into a reconnect.
void SDK::reconnectLoop(const Session& session, Retrying retrying) {
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
    const int retryInterval = std::max(session.connectRetryInterval, 0);
    int delay = 1;
    if (retrying == Retrying::FailedConnect) {
        delay = retryInterval;
        run.wait(std::chrono::seconds(delay));
    }
    for (;;) {
        while (const std::optional<ReconnectRun::Task> task = run.take(false)) {
            if (task->kind == ReconnectRun::Task::Kind::ConfirmLoss && confirmLoss(task->cause)) {
                reportLoss();
                if (!session.autoReconnect) {
                    return;
                }
                retrying = Retrying::AfterLoss;
                delay = 1;
            }
        }
        std::string failureNote;
        std::optional<int> rc = attemptReconnect(session, retrying, failureNote);
        if (!rc) {
            return;
        }
        if (*rc == MQTTCLIENT_SUCCESS) {
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
        delay = retrying == Retrying::AfterLoss ? nextDelay(delay, session.maxReconnectInterval) : retryInterval;
    }
}

// One attempt, or none (nullopt) when the run is over: stopped, or connected or
// disconnected by the application meanwhile (the connection's phase keeps two attempts
// from racing). A connect retried is reported as connect reports its success.
std::optional<int> SDK::attemptReconnect(const Session& session, Retrying retrying, std::string& failureNote) {
    if (!run.enabled() || connection.beginConnect(true, true) != ConnectionState::ConnectStart::Go) {
        return std::nullopt;
    }
    ConnectionState::Attempt attempt(connection);
    if (!run.enabled()) {
        return std::nullopt;
    }
    say(ConsoleStream::Out, "[SDK] Attempting to reconnect...");
    bool sessionKept = false;
    const int rc = connectLibraryClient(session, failureNote, sessionKept);
    if (rc == MQTTCLIENT_SUCCESS) {
        say(ConsoleStream::Out,
            retrying == Retrying::AfterLoss ? "[SDK] Reconnected successfully to " : "[SDK] Connected to ",
            session.serverUri);
        restoreSubscriptions(session, sessionKept, attempt);
        attempt.opened();
    }
    return rc;
}

}  // namespace tarvo
