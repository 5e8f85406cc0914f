// Part of pellaro_core in the thread-sanitizer build only (CheckedBuilds.cmake).
//
// libstdc++ waits for a timed mutex on the steady clock with
// pthread_mutex_clocklock, which the thread sanitizer of clang 14 and GCC 12
// does not intercept: it never sees bufferMutex taken by try_lock_for and
// reports its unlock as the unlock of a mutex nobody holds. This definition
// takes the C library's place and waits with pthread_mutex_timedlock, which it
// does intercept, until the same deadline moved to the real-time clock.
#include <pthread.h>
#include <time.h>

#include <cstdint>

extern "C" int pthread_mutex_clocklock(pthread_mutex_t* mutex, clockid_t clock,
                                       const struct timespec* deadline) noexcept {
    constexpr int64_t kNanoseconds = 1000000000;
    timespec onClock{};
    timespec real{};
    clock_gettime(clock, &onClock);
    clock_gettime(CLOCK_REALTIME, &real);
    const int64_t left =
        (deadline->tv_sec - onClock.tv_sec) * kNanoseconds + (deadline->tv_nsec - onClock.tv_nsec);
    const int64_t until = real.tv_sec * kNanoseconds + real.tv_nsec + left;
    const timespec realDeadline{static_cast<time_t>(until / kNanoseconds),
                                static_cast<long>(until % kNanoseconds)};
    return pthread_mutex_timedlock(mutex, &realDeadline);
}
