#include "console_logger.hpp"

#include "handler_slot.hpp"
#include "interpreter_lock.hpp"
#include "interruptible.hpp"

#include <array>

namespace py = pybind11;

namespace tarvo::binding {

namespace {

// logging.INFO, WARNING and ERROR.
constexpr int kInfo = 20;
constexpr int kWarning = 30;
constexpr int kError = 40;

constexpr std::string_view kPrefix = "[SDK] ";

// Progress and notices (standard output) are INFO. On standard error, a lost connection
// and a failed reconnect attempt are WARNING: the client goes on trying by itself. Every
// other failure is ERROR: something the program asked for did not happen.
int levelOf(ConsoleStream stream, std::string_view line) {
    if (stream == ConsoleStream::Out) {
        return kInfo;
    }
    constexpr std::array<std::string_view, 2> kRecovering = {"[SDK] Connection lost", "[SDK] Reconnect failed"};
    for (std::string_view start : kRecovering) {
        if (line.starts_with(start)) {
            return kWarning;
        }
    }
    return kError;
}

// The record's message is the line without its "[SDK] " and its line feed: the logger's
// name says where it comes from.
std::string_view messageOf(std::string_view line) {
    if (line.starts_with(kPrefix)) {
        line.remove_prefix(kPrefix.size());
    }
    if (line.ends_with('\n')) {
        line.remove_suffix(1);
    }
    return line;
}

// Counts the threads logging a line, and turns new ones away once the interpreter is
// about to finalize. Process-wide, as the interpreter is.
class ExitGate {
public:
    bool enter() {
        visitors_.fetch_add(1);
        if (open_.load()) {
            return true;
        }
        leave();
        return false;
    }
    void leave() {
        visitors_.fetch_sub(1);
        visitors_.notify_all();
    }
    void close() {
        open_.store(false);
        for (int visitors = visitors_.load(); visitors != 0; visitors = visitors_.load()) {
            visitors_.wait(visitors);
        }
    }
    void resetVisitors(int visitors) { visitors_.store(visitors); }

private:
    std::atomic<int> visitors_{0};
    std::atomic<bool> open_{true};
};

ExitGate exitGate;

// Set while this thread logs a line: a line that the logger's own code causes (a
// handler that publishes through this client, say) goes to the console, not round again.
thread_local bool loggingHere = false;

}  // namespace

ConsoleLogger::~ConsoleLogger() {
    if (logger_) {
        InterpreterLock lock;
        logger_ = py::object();
    }
}

ConsoleSink ConsoleLogger::sinkOf(std::shared_ptr<ConsoleLogger> logger) {
    return [logger = std::move(logger)](ConsoleStream stream, std::string_view line) { logger->write(stream, line); };
}

void ConsoleLogger::set(py::object logger) {
    logger_ = std::move(logger);
    set_.store(static_cast<bool>(logger_));
}

void ConsoleLogger::write(ConsoleStream stream, std::string_view line) {
    if (!set_.load()) {
        writeToStandardStreams(stream, line);
        return;
    }
    onCallingThread([&] { deliver(stream, line); });
}

void ConsoleLogger::deliver(ConsoleStream stream, std::string_view line) {
    if (loggingHere || !exitGate.enter()) {
        writeToStandardStreams(stream, line);
        return;
    }
    struct Visit {
        explicit Visit(const void* client) {
            loggingHere = true;
            handlerOwnersOnThisThread().push_back(client);
        }
        ~Visit() {
            handlerOwnersOnThisThread().pop_back();
            loggingHere = false;
            exitGate.leave();
        }
        Visit(const Visit&) = delete;
        Visit& operator=(const Visit&) = delete;
    } visit(client_);
    InterpreterLock lock;
    const py::object logger = logger_;  // may have been unset meanwhile
    if (!logger) {
        writeToStandardStreams(stream, line);
        return;
    }
    try {
        // A topic in a line may hold bytes that are not UTF-8.
        const std::string_view message = messageOf(line);
        const auto text =
            py::reinterpret_steal<py::str>(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                                                "backslashreplace"));
        if (!text) {
            throw py::error_already_set();
        }
        logger.attr("log")(levelOf(stream, line), text);
    } catch (py::error_already_set& error) {
        // A logger that fails loses no line: it goes to the console, the error to
        // sys.unraisablehook.
        error.discard_as_unraisable("tarvo_sdk logging a console line");
        writeToStandardStreams(stream, line);
    }
}

void endLoggingForExit() { exitGate.close(); }

void resetLoggingAfterFork() { exitGate.resetVisitors(loggingHere ? 1 : 0); }

}  // namespace tarvo::binding
