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

