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
//   lock.wait(changed, [this]() REQUIRES(mutex) { return pending == 0; });
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION_ATTRIBUTE__(x) __attribute__((x))
#else
#define THREAD_ANNOTATION_ATTRIBUTE__(x)
#endif

#define CAPABILITY(x) THREAD_ANNOTATION_ATTRIBUTE__(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION_ATTRIBUTE__(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION_ATTRIBUTE__(guarded_by(x))
#define PT_GUARDED_BY(x) THREAD_ANNOTATION_ATTRIBUTE__(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) THREAD_ANNOTATION_ATTRIBUTE__(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) THREAD_ANNOTATION_ATTRIBUTE__(acquired_after(__VA_ARGS__))
#define REQUIRES(...) THREAD_ANNOTATION_ATTRIBUTE__(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION_ATTRIBUTE__(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION_ATTRIBUTE__(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) THREAD_ANNOTATION_ATTRIBUTE__(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION_ATTRIBUTE__(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) THREAD_ANNOTATION_ATTRIBUTE__(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION_ATTRIBUTE__(no_thread_safety_analysis)

namespace tarvo {

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    friend class UniqueLock;  // std::condition_variable waits on the std::mutex itself
    std::mutex mutex_;
};

class SCOPED_CAPABILITY LockGuard {
public:
    explicit LockGuard(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~LockGuard() RELEASE() { mutex_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Mutex& mutex_;
};

// A LockGuard that can be let go of for a while (unlock, then lock again) and waited
// on with a std::condition_variable. Each wait returns with the mutex held, as it
// found it; the predicate is called with it held.
class SCOPED_CAPABILITY UniqueLock {
public:
    explicit UniqueLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~UniqueLock() RELEASE() {}
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;

    void lock() ACQUIRE() { lock_.lock(); }
    void unlock() RELEASE() { lock_.unlock(); }

    void wait(std::condition_variable& condition) { condition.wait(lock_); }
    template <typename Predicate>
    void wait(std::condition_variable& condition, Predicate ready) NO_THREAD_SAFETY_ANALYSIS {
        condition.wait(lock_, std::move(ready));
    }

    template <typename Rep, typename Period>
    std::cv_status wait_for(std::condition_variable& condition, const std::chrono::duration<Rep, Period>& timeout) {
        return condition.wait_for(lock_, timeout);
    }
    template <typename Rep, typename Period, typename Predicate>
    bool wait_for(std::condition_variable& condition, const std::chrono::duration<Rep, Period>& timeout,
                  Predicate ready) NO_THREAD_SAFETY_ANALYSIS {
        return condition.wait_for(lock_, timeout, std::move(ready));
    }

    template <typename Clock, typename Duration>
    std::cv_status wait_until(std::condition_variable& condition,
                              const std::chrono::time_point<Clock, Duration>& deadline) {
        return condition.wait_until(lock_, deadline);
    }
    template <typename Clock, typename Duration, typename Predicate>
    bool wait_until(std::condition_variable& condition, const std::chrono::time_point<Clock, Duration>& deadline,
                    Predicate ready) NO_THREAD_SAFETY_ANALYSIS {
        return condition.wait_until(lock_, deadline, std::move(ready));
    }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace tarvo
