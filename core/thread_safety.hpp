// Clang's thread-safety analysis (-Wthread-safety): the attribute macros, and lock
// types that carry them. libstdc++'s std::mutex and its lock holders have no
// annotations, so code whose locks the compiler should check uses these instead. Each
// is a thin wrapper with the interface of its std counterpart; under GCC the macros
// expand to nothing.
//
//   Mutex        std::mutex                 held by LockGuard or UniqueLock
//
// A condition wait goes through UniqueLock, so the analysis sees the mutex held before
// and after it. The analysis does not look into lambdas from outside: a wait predicate
// that reads guarded members says so itself, e.g.
//   lock.wait(changed, [this]() TARVO_REQUIRES(mutex) { return pending == 0; });
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define TARVO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TARVO_THREAD_ANNOTATION(x)
#endif

#define TARVO_CAPABILITY(x) TARVO_THREAD_ANNOTATION(capability(x))
#define TARVO_SCOPED_CAPABILITY TARVO_THREAD_ANNOTATION(scoped_lockable)
#define TARVO_GUARDED_BY(x) TARVO_THREAD_ANNOTATION(guarded_by(x))
#define TARVO_PT_GUARDED_BY(x) TARVO_THREAD_ANNOTATION(pt_guarded_by(x))
#define TARVO_ACQUIRED_BEFORE(...) TARVO_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define TARVO_ACQUIRED_AFTER(...) TARVO_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define TARVO_REQUIRES(...) TARVO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TARVO_ACQUIRE(...) TARVO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TARVO_RELEASE(...) TARVO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TARVO_TRY_ACQUIRE(...) TARVO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TARVO_EXCLUDES(...) TARVO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define TARVO_RETURN_CAPABILITY(x) TARVO_THREAD_ANNOTATION(lock_returned(x))
#define TARVO_ASSERT_CAPABILITY(x) TARVO_THREAD_ANNOTATION(assert_capability(x))
#define TARVO_NO_THREAD_SAFETY_ANALYSIS TARVO_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace tarvo {

class TARVO_CAPABILITY("mutex") Mutex {
public:
    void lock() TARVO_ACQUIRE() { mutex_.lock(); }
    void unlock() TARVO_RELEASE() { mutex_.unlock(); }
    // Tells the analysis that the calling thread holds this mutex, where it cannot see
    // that for itself (the mutex was taken under another name). Checks nothing at run
    // time: std::mutex does not know its owner.
    void AssertHeld() const TARVO_ASSERT_CAPABILITY(this) {}

private:
    friend class UniqueLock;  // std::condition_variable waits on the std::mutex itself
    std::mutex mutex_;
};

class TARVO_SCOPED_CAPABILITY LockGuard {
public:
    explicit LockGuard(Mutex& mutex) TARVO_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~LockGuard() TARVO_RELEASE() { mutex_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Mutex& mutex_;
};

// A LockGuard that can be let go of for a while (unlock, then lock again) and waited
// on with a std::condition_variable. Each wait returns with the mutex held, as it
// found it; the predicate is called with it held.
class TARVO_SCOPED_CAPABILITY UniqueLock {
public:
    explicit UniqueLock(Mutex& mutex) TARVO_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~UniqueLock() TARVO_RELEASE() {}
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;

    void lock() TARVO_ACQUIRE() { lock_.lock(); }
    void unlock() TARVO_RELEASE() { lock_.unlock(); }

    void wait(std::condition_variable& condition) { condition.wait(lock_); }
    template <typename Predicate>
    void wait(std::condition_variable& condition, Predicate ready) TARVO_NO_THREAD_SAFETY_ANALYSIS {
        condition.wait(lock_, std::move(ready));
    }

    template <typename Rep, typename Period>
    std::cv_status wait_for(std::condition_variable& condition, const std::chrono::duration<Rep, Period>& timeout) {
        return condition.wait_for(lock_, timeout);
    }
    template <typename Rep, typename Period, typename Predicate>
    bool wait_for(std::condition_variable& condition, const std::chrono::duration<Rep, Period>& timeout,
                  Predicate ready) TARVO_NO_THREAD_SAFETY_ANALYSIS {
        return condition.wait_for(lock_, timeout, std::move(ready));
    }

    template <typename Clock, typename Duration>
    std::cv_status wait_until(std::condition_variable& condition,
                              const std::chrono::time_point<Clock, Duration>& deadline) {
        return condition.wait_until(lock_, deadline);
    }
    template <typename Clock, typename Duration, typename Predicate>
    bool wait_until(std::condition_variable& condition, const std::chrono::time_point<Clock, Duration>& deadline,
                    Predicate ready) TARVO_NO_THREAD_SAFETY_ANALYSIS {
        return condition.wait_until(lock_, deadline, std::move(ready));
    }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace tarvo
