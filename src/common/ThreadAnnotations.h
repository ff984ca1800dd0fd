// Annotations that let clang check, at compile time, that state guarded by a mutex is touched only
// with that mutex held (-Wthread-safety). Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define KESTAL_THREAD_ANNOTATION_(x) __attribute__((x))
#else
#define KESTAL_THREAD_ANNOTATION_(x)
#endif

#define CAPABILITY(x) KESTAL_THREAD_ANNOTATION_(capability(x))
#define SCOPED_CAPABILITY KESTAL_THREAD_ANNOTATION_(scoped_lockable)
#define GUARDED_BY(x) KESTAL_THREAD_ANNOTATION_(guarded_by(x))
#define PT_GUARDED_BY(x) KESTAL_THREAD_ANNOTATION_(pt_guarded_by(x))
#define REQUIRES(...) KESTAL_THREAD_ANNOTATION_(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) KESTAL_THREAD_ANNOTATION_(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) KESTAL_THREAD_ANNOTATION_(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) KESTAL_THREAD_ANNOTATION_(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) KESTAL_THREAD_ANNOTATION_(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KESTAL_THREAD_ANNOTATION_(try_acquire_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) KESTAL_THREAD_ANNOTATION_(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) KESTAL_THREAD_ANNOTATION_(release_generic_capability(__VA_ARGS__))
#define EXCLUDES(...) KESTAL_THREAD_ANNOTATION_(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) KESTAL_THREAD_ANNOTATION_(assert_capability(x))
#define RETURN_CAPABILITY(x) KESTAL_THREAD_ANNOTATION_(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS KESTAL_THREAD_ANNOTATION_(no_thread_safety_analysis)
