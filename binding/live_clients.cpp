#include "live_clients.hpp"

#include "handlers.hpp"
#include "interruptible.hpp"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tarvo::binding {

namespace {

class LiveClients {
public:
    void add(BoundSDK& client) {
        LockGuard lock(mutex_);
        pins_.emplace(&client, 0);
    }

    // Waits while the exit hook is stopping this client.
    void remove(BoundSDK& client) {
        UniqueLock lock(mutex_);
        lock.wait(unpinned_, [&]() TARVO_REQUIRES(mutex_) { return pins_.at(&client) == 0; });
        pins_.erase(&client);
    }

    void stopAll(bool interrupted) {
        std::vector<BoundSDK*> clients;
        {
            LockGuard lock(mutex_);
            for (auto& [client, pins] : pins_) {
                ++pins;
                clients.push_back(client);
            }
        }
        for (BoundSDK* client : clients) {
            try {
                if (client->isRunning() && !client->abandonedCalls.any()) {
                    if (interrupted) {
                        client->giveUpDeliveries();
                    }
                    client->stop();
                }
            } catch (...) {
                reportToUnraisableHook("stopping a client at exit");
            }
            LockGuard lock(mutex_);
            --pins_.at(client);
            unpinned_.notify_all();
        }
    }

private:
    // Taken with no core lock held.
    Mutex mutex_;
    std::condition_variable unpinned_;
    // Every live client, with the number of exit hooks stopping it.
    std::unordered_map<BoundSDK*, int> pins_ TARVO_GUARDED_BY(mutex_);
};

LiveClients& liveClients() {
    static LiveClients clients;
    return clients;
}

// A signal handler raised while the exit hook waited: the program ends now, as Python
// ends on an uncaught KeyboardInterrupt (by SIGINT), or with status 1 for another
// exception. Finalizing instead would hang on the clients still being stopped. What the
// program wrote is flushed first; the interpreter lock is held.
[[noreturn]] void endProcessAtOnce() {
    const bool keyboardInterrupt = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) != 0;
    PyErr_Clear();
    for (const char* stream : {"stdout", "stderr"}) {
        try {
            py::module_::import("sys").attr(stream).attr("flush")();
        } catch (const py::error_already_set&) {
        }
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    if (keyboardInterrupt) {
        std::signal(SIGINT, SIG_DFL);
        std::raise(SIGINT);
    }
    std::_Exit(1);
}

constexpr auto kSignalCheckInterval = std::chrono::milliseconds(50);

}  // namespace

BoundSDK::BoundSDK() : BoundSDK(std::make_shared<ConsoleLogger>()) {}

BoundSDK::BoundSDK(std::shared_ptr<ConsoleLogger> logger)
    : SDK(pahoLibrary(), ConsoleLogger::sinkOf(logger)), consoleLogger(std::move(logger)) {
    consoleLogger->belongsTo(static_cast<const SDK*>(this));
    setHandlerFailureReporter(reportToUnraisableHook);
    setInterruptCheck(signalHandlerRaised);
    liveClients().add(*this);
}

BoundSDK::~BoundSDK() { liveClients().remove(*this); }

void stopLiveClients(bool interrupted) { liveClients().stopAll(interrupted); }

void stopLiveClientsAtExit(bool interrupted) {
    if (!onSignalHandlingThread()) {
        py::gil_scoped_release release;
        stopLiveClients(interrupted);
        return;
    }
    struct Stopping {
        Mutex mutex;
        std::condition_variable ended;
        bool done TARVO_GUARDED_BY(mutex) = false;
    };
    auto stopping = std::make_shared<Stopping>();
    std::thread worker([stopping, interrupted] {
        stopLiveClients(interrupted);
        LockGuard lock(stopping->mutex);
        stopping->done = true;
        stopping->ended.notify_all();
    });
    for (;;) {
        {
            py::gil_scoped_release release;
            UniqueLock lock(stopping->mutex);
            if (lock.wait_for(stopping->ended, kSignalCheckInterval,
                              [&]() TARVO_REQUIRES(stopping->mutex) { return stopping->done; })) {
                break;
            }
        }
        if (PyErr_CheckSignals() != 0) {
            endProcessAtOnce();
        }
    }
    py::gil_scoped_release release;
    worker.join();
}

}  // namespace tarvo::binding
