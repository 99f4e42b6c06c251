// padplayer <client_name>: plays key1.wav to key3.wav on the keys a, s and d.
#include "client_frame.h"
#include "padplayer.h"

int main(int argc, char** argv) {
    client_program_t program{};
    program.usage_line = "Usage : padplayer <client_name>\n";
    program.min_args = 2;
    program.prepare = padplayer_prepare;
    program.process = padplayer_process;
    program.release = padplayer_release;
    program.connect = padplayer_connect;
    program.main_loop = padplayer_main_loop;
    run_client(argc, argv, program);
}
