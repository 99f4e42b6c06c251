// libjack as the process callbacks use it. jack_port_get_buffer is made to be
// called from the process thread (it returns a pointer into memory the server has
// mapped already), but its header does not say so; this redeclaration does, so
// that nonblocking callbacks may call it. RealtimeSanitizer still checks what it
// does at run time.
#pragma once

#include <jack/jack.h>

#include "realtime.h"

#if defined(REALTIME_EFFECTS)
extern "C" void* jack_port_get_buffer(jack_port_t* port, jack_nframes_t nframes)
    REALTIME_NONBLOCKING;
#endif
