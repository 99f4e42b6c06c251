// How the programs under test and JACK's own programs are started: directly when
// the tests run on the machine they were built for, or through the target's
// emulator (qemu-arm for the 32-bit ARM build), which cannot be left to the kernel
// here because the machine has no binfmt_misc entry for it.
#pragma once

#include <string>
#include <vector>

namespace harness {

// The command line that starts `program`: the emulator's command line before it
// when `program` is built for the target and the target is emulated, else
// `program` alone. For programs that start others, such as setpriv.
std::vector<std::string> program_command(const std::string& program);

// The command line that runs `program` behind `wrapper`, a command of this machine
// that execs the words after it (setpriv, unshare ...): the emulator, if any, goes
// after the wrapper. With no wrapper, program_command(program).
std::vector<std::string> wrapped_command(const std::vector<std::string>& wrapper,
                                         const std::string& program);

// program_command() for a copy of `program` in `dir`, with copies there of the
// folders that the emulator's command line names for the libraries: for running it
// as another user, who may not reach into the build (a checkout in a private
// folder such as /root). `dir` must exist; what is copied is readable by all.
std::vector<std::string> staged_program_command(const std::string& program, const std::string& dir);

// jackd or one of JACK's tools (jack_load, jack_lsp, ...) of the target.
std::string jack_program(const std::string& name);

// The folder of the target's JACK backends (jack_dummy.so, jack_loopback.so) when
// jackd must be given copies of them (JACK_DRIVER_DIR); empty when its own serve.
std::string jack_driver_source_dir();

}  // namespace harness
