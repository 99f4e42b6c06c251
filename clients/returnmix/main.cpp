// returnmix <client_name>: mixes the loopback returns into its two inputs.
#include "client_frame.h"
#include "returnmix.h"

int main(int argc, char** argv) {
    client_program_t program{};
    program.usage_line = "Usage : returnmix <client_name>\n";
    program.min_args = 2;
    program.has_feedback_ports = true;
    program.process = returnmix_process;
    program.connect = returnmix_connect;
    run_client(argc, argv, program);
}
