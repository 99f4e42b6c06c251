// Detached helper threads with a small stack.
#include "helper_thread.h"

#include <pthread.h>

namespace {

// The helpers poll, read, write and close a JACK client; none needs the default
// stack, whose size (the stack limit, often 8 MiB) could not be mapped by a client
// near its address-space limit. Sanitizer builds use more stack per frame.
constexpr size_t helper_stack_bytes = 256 * 1024;

}  // namespace

int start_helper_thread(void* (*body)(void*), void* arg) {
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error != 0) return error;
    error = pthread_attr_setstacksize(&attributes, helper_stack_bytes);
    if (error == 0) error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    if (error == 0) error = pthread_create(&thread, &attributes, body, arg);
    pthread_attr_destroy(&attributes);
    return error;
}
