// Lock rules the compiler checks: with clang and -Wthread-safety, reading a GUARDED_BY member
// without its mutex, or calling a REQUIRES function without the lock, fails the build. Other
// compilers see nothing. The capabilities are tw::Mutex (platform/mutex.h) and its scoped lock.
#pragma once

#if defined(__clang__)
#define TW_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TW_THREAD_ANNOTATION(x)
#endif

// A class that is a lock ("mutex").
#define CAPABILITY(x) TW_THREAD_ANNOTATION(capability(x))
// A RAII class that holds the capabilities it acquires until it is destroyed.
#define SCOPED_CAPABILITY TW_THREAD_ANNOTATION(scoped_lockable)

// A member that may be read or written only while holding x.
#define GUARDED_BY(x) TW_THREAD_ANNOTATION(guarded_by(x))
// A pointer whose pointee may be read or written only while holding x.
#define PT_GUARDED_BY(x) TW_THREAD_ANNOTATION(pt_guarded_by(x))

// The caller must hold (REQUIRES) or must not hold (EXCLUDES) the capabilities.
#define REQUIRES(...) TW_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) TW_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// The function takes, gives up, or (when it returns the first argument) takes the capabilities.
#define ACQUIRE(...) TW_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TW_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TW_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// The function returns a reference to the capability x.
#define RETURN_CAPABILITY(x) TW_THREAD_ANNOTATION(lock_returned(x))

// Turns the check off for one function; say at the use why the rule holds anyway.
#define NO_THREAD_SAFETY_ANALYSIS TW_THREAD_ANNOTATION(no_thread_safety_analysis)
