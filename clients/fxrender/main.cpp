// fxrender fuzzpedal|tapdelay <in.wav> <out.wav> [numbers...]: an effect client's
// processing over a WAV file, without a server.
#include "fxrender.h"

int main(int argc, char** argv) { return fxrender_main(argc, argv); }
