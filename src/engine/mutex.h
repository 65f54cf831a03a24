// A mutex, its scoped lock and a condition variable that Clang's thread-safety
// analysis understands: a member declared GUARDED_BY(some_mutex_) and used
// without that lock fails the Clang build (-Wthread-safety -Werror, which
// scripts/test.sh runs). With GCC the annotations are empty.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define ORVEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ORVEL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ORVEL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ORVEL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ORVEL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ORVEL_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) ORVEL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) ORVEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) ORVEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ORVEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) ORVEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) ORVEL_THREAD_ANNOTATION(lock_returned(x))
#define ASSERT_CAPABILITY(x) ORVEL_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS ORVEL_THREAD_ANNOTATION(no_thread_safety_analysis)

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    friend class CondVar;
    std::mutex mutex_;
};

// One of a pair of mutexes that no thread ever holds together (the engine's
// results_mutex_ and jobs_mutex_). Taken only by ApartLock, which names the
// other of the pair; MutexLock refuses it (any compiler).
class CAPABILITY("mutex") ApartMutex : public Mutex {};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex &mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    explicit MutexLock(ApartMutex &mutex) = delete;  // take it with ApartLock
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

private:
    Mutex &mutex_;
};

// Holds mutex for its scope, which never_with may not be held across: Clang
// fails the build ("cannot call function 'ApartLock' while mutex ... is
// held") where one of the pair is taken while the other is held, and a
// function that takes either declares EXCLUDES of both, so that a call to
// it with the other held fails as well.
class SCOPED_CAPABILITY ApartLock {
public:
    ApartLock(ApartMutex &mutex, [[maybe_unused]] ApartMutex &never_with) ACQUIRE(mutex) EXCLUDES(never_with)
        : mutex_(mutex)
    {
        mutex_.lock();
    }
    ~ApartLock() RELEASE() { mutex_.unlock(); }
    ApartLock(const ApartLock &) = delete;
    ApartLock &operator=(const ApartLock &) = delete;

private:
    ApartMutex &mutex_;
};

// Waits release the mutex while they sleep and hold it again on return; a
// waiter re-tests its own condition, since any broadcast wakes it.
class CondVar {
public:
    void wait(Mutex &mutex) REQUIRES(mutex)
    {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        cond_.wait(lock);
        lock.release();
    }

    // As wait, but returns after timeout at the latest.
    template <typename Rep, typename Period>
    void wait_for(Mutex &mutex, std::chrono::duration<Rep, Period> timeout) REQUIRES(mutex)
    {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        cond_.wait_for(lock, timeout);
        lock.release();
    }

    // As wait, but returns at deadline at the latest.
    template <typename Clock, typename Duration>
    void wait_until(Mutex &mutex, std::chrono::time_point<Clock, Duration> deadline) REQUIRES(mutex)
    {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        cond_.wait_until(lock, deadline);
        lock.release();
    }

    void notify_one() { cond_.notify_one(); }
    void broadcast() { cond_.notify_all(); }

private:
    std::condition_variable cond_;
};
