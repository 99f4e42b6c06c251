// Everything a JACK test includes: servers, programs under test, the in-process
// client, audio checks and helpers.
#pragma once

#include "audio_check.h"
#include "child_process.h"
#include "harness_client.h"
#include "jack_server.h"
#include "util.h"

namespace harness {

// Until a client of the suite has finished starting up: the frame installs its
// SIGQUIT, SIGTERM, SIGHUP and SIGINT handlers last. False if it ended or timed out.
bool wait_frame_ready(child_process& program, duration timeout = 5s);

}  // namespace harness
