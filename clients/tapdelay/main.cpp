// tapdelay <client_name> [time] [release]: a feedback echo on live audio.
#include "client_frame.h"
#include "tapdelay.h"

int main(int argc, char** argv) {
    client_program_t program{};
    program.usage_line = "Usage : tapdelay <client_name> <time:0~2000> <release:0~100>\n";
    program.min_args = 2;
    program.has_feedback_ports = true;
    program.before_args = tapdelay_before_args;
    program.prepare = tapdelay_prepare;
    program.process = tapdelay_process;
    program.connect = tapdelay_connect;
    run_client(argc, argv, program);
}
