// The helper threads that a client starts before it activates: the signal path's
// two and fuzzpedal's line writer. Each runs on a small stack of its own, so that
// a client that has little address space left still gets them, and a failure is
// returned so that no client runs without a thread it counts on.
#pragma once

// Starts `body(arg)` on a detached thread. Returns 0, or the error number of what
// failed (the stack's mapping shows as EAGAIN or ENOMEM).
int start_helper_thread(void* (*body)(void*), void* arg);
