// spinreel <client_name> <file_name>: loops a 16-bit WAV file over its two inputs.
#include "client_frame.h"
#include "spinreel.h"

int main(int argc, char** argv) {
    client_program_t program{};
    program.usage_line = "Usage : spinreel <client_name> <file_name>\n";
    program.min_args = 3;
    program.prepare = spinreel_prepare;
    program.process = spinreel_process;
    program.release = spinreel_release;
    run_client(argc, argv, program);
}
