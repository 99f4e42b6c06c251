// fuzzpedal <client_name> [13 numbers]: distorts spinreel's first output into
// the first system playback port.
#include "client_frame.h"
#include "cycle_lines.h"
#include "fuzzpedal.h"

int main(int argc, char** argv) {
    client_program_t program{};
    program.usage_line = fuzzpedal_usage;
    program.min_args = 2;
    program.before_args = fuzzpedal_before_args;
    program.prepare = fuzzpedal_prepare;
    program.process = fuzzpedal_process;
    program.connect = fuzzpedal_connect;
    program.drain_output = cycle_lines_drain;
    run_client(argc, argv, program);
}
