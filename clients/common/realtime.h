// Real-time safety as the compiler and RealtimeSanitizer check it. A function
// declared REALTIME_NONBLOCKING (after its parameter list) may not allocate, lock,
// wait or do I/O: clang's -Wfunction-effects checks its calls at compile time, and
// under -fsanitize=realtime every unsafe library call made while it runs is
// reported and ends the process. Under GCC the macros leave plain code.
#pragma once

#if defined(__clang__) && defined(__has_cpp_attribute)
#if __has_cpp_attribute(clang::nonblocking)
#define REALTIME_EFFECTS 1
#endif
#endif

#if defined(REALTIME_EFFECTS)
#define REALTIME_NONBLOCKING [[clang::nonblocking]]
#else
#define REALTIME_NONBLOCKING
#endif

#if defined(__has_feature)
#if __has_feature(realtime_sanitizer)
#define REALTIME_SANITIZER 1
#endif
#endif

// A scope in which the sanitizer reports nothing.
#if defined(REALTIME_SANITIZER)
#include <sanitizer/rtsan_interface.h>

// They only count per thread; declared so that the scope may open inside a
// nonblocking function.
extern "C" void __rtsan_disable(void) REALTIME_NONBLOCKING;
extern "C" void __rtsan_enable(void) REALTIME_NONBLOCKING;

#define REALTIME_EXEMPT_SCOPE __rtsan::ScopedDisabler realtime_exempt_scope
#else
#define REALTIME_EXEMPT_SCOPE
#endif

// One statement of a nonblocking function that the compiler does not check. The
// sanitizer still does: for a call on a path that a running program never takes.
#if defined(REALTIME_EFFECTS)
#define REALTIME_UNCHECKED(statement)                                     \
    _Pragma("clang diagnostic push")                                      \
    _Pragma("clang diagnostic ignored \"-Wfunction-effects\"") statement; \
    _Pragma("clang diagnostic pop")
#else
#define REALTIME_UNCHECKED(statement) statement;
#endif

// One statement of a nonblocking function checked by neither: for a deliberate
// exception, which the caller names.
#define REALTIME_EXEMPT(statement)     \
    do {                               \
        REALTIME_EXEMPT_SCOPE;         \
        REALTIME_UNCHECKED(statement)  \
    } while (0)
