// linkwatch send|receive <client_name> [options]: the stamps of a network link and
// what arrives of them.
#include "client_frame.h"
#include "linkwatch.h"

int main(int argc, char** argv) {
    client_program_t program{};
    program.usage_line = linkwatch_usage;
    program.min_args = 3;
    program.one_port_each = true;
    program.prepare = linkwatch_prepare;
    program.process = linkwatch_process;
    program.more_callbacks = linkwatch_callbacks;
    program.main_loop = linkwatch_main_loop;
    program.before_close = linkwatch_before_close;
    program.drain_output = linkwatch_drain;
    run_client(argc, argv, program);
}
