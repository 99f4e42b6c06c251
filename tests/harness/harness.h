// Everything a JACK test includes: servers, programs under test, the in-process
// client, audio checks and helpers.
#pragma once

#include "audio_check.h"
#include "child_process.h"
#include "harness_client.h"
#include "jack_server.h"
#include "rig.h"
#include "target_programs.h"
#include "util.h"
