#pragma once

// Lock rules the compiler checks: clang's thread-safety analysis (-Wthread-safety) reads
// these attributes; other compilers see nothing. Annotate the data (GUARDED_BY), the
// functions that must hold a lock (REQUIRES), and the lock types (CAPABILITY, ACQUIRE,
// RELEASE, SCOPED_CAPABILITY); Mutex.h has a mutex and a scoped lock that carry them.

#if defined(__clang__)
#define TAVELIN_THREAD_ANNOTATION(attribute) __attribute__((attribute))
#else
#define TAVELIN_THREAD_ANNOTATION(attribute)
#endif

// A type whose objects are locks, named `name` in the analysis's messages.
#define CAPABILITY(name) TAVELIN_THREAD_ANNOTATION(capability(name))
// A type whose objects hold a lock from construction to destruction.
#define SCOPED_CAPABILITY TAVELIN_THREAD_ANNOTATION(scoped_lockable)
// The member is read and written only while the given lock is held.
#define GUARDED_BY(lock) TAVELIN_THREAD_ANNOTATION(guarded_by(lock))
// What the pointer member points to is used only while the given lock is held.
#define PT_GUARDED_BY(lock) TAVELIN_THREAD_ANNOTATION(pt_guarded_by(lock))
// The caller must hold the given locks.
#define REQUIRES(...) TAVELIN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The caller must not hold the given locks (the function takes them).
#define EXCLUDES(...) TAVELIN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function takes the given locks (none named: the object itself) and returns holding them.
#define ACQUIRE(...) TAVELIN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function lets go of the given locks (none named: the object itself).
#define RELEASE(...) TAVELIN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// From here on the analysis takes the lock as held (for code it cannot follow, a lambda).
#define ASSERT_CAPABILITY(lock) TAVELIN_THREAD_ANNOTATION(assert_capability(lock))
