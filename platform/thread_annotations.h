#pragma once
// Which mutex guards what, for Clang's thread-safety analysis (-Wthread-safety); other compilers
// see nothing. std::mutex carries no annotations in libstdc++, so guarded state uses Mutex.

#include <mutex>

#if defined(__clang__)
#define VANTORO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VANTORO_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VANTORO_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VANTORO_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VANTORO_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) VANTORO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VANTORO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VANTORO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) VANTORO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) VANTORO_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS VANTORO_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace platform {

// std::mutex with its capability declared; lock and unlock keep the standard's names, so that
// std::unique_lock and std::condition_variable_any take it.
class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

// Holds a Mutex for its scope, as std::lock_guard does.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~MutexLock() RELEASE() { m_mutex.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& m_mutex;
};

}  // namespace platform
