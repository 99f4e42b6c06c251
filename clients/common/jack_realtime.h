// libjack as the process callbacks use it. jack_port_get_buffer and
// jack_last_frame_time are made to be called from the process thread (one returns a
// pointer into memory the server has mapped already, the other reads the cycle's
// timing there), but their header does not say so; these redeclarations do, so that
// nonblocking callbacks may call them. RealtimeSanitizer still checks what they do at
// run time.
#pragma once

#include <jack/jack.h>

#include "realtime.h"

#if defined(REALTIME_EFFECTS)
extern "C" void* jack_port_get_buffer(jack_port_t* port, jack_nframes_t nframes)
    REALTIME_NONBLOCKING;
extern "C" jack_nframes_t jack_last_frame_time(const jack_client_t* client) REALTIME_NONBLOCKING;
#endif
