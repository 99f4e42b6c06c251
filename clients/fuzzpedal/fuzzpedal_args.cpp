// fuzzpedal's command-line reading into the distortion processor's parameters.
#include "fuzzpedal_args.h"

#include <cstdlib>
#include <iterator>

#include "distortion.h"

const char* const fuzzpedal_usage =
    "Usage : fuzzpedal <client_name> <overdriver:1~20> <driverover:0~1> <drive:0~1> "
    "<drivelevel1:0~1> <drivegain:-20~20> <highpass:8~1000> <lowpass:1000~10000> "
    "<low_highpass:0~1> <highcut:1000~10000> <lowcut:8~1000> <low_highcut:0~1> "
    "<trigger:0~1> <vibrato:0.01~1>\n";

void fuzzpedal_before_args() { distortion_init(44100); }

void fuzzpedal_parse(int argc, char** argv) {
    using namespace distortion;
    float* const parameters[] = {&overdriver, &driverover, &drive,        &drivelevel1,
                                 &drivegain,  &highpass,   &lowpass,      &low_highpass,
                                 &highcut,    &lowcut,     &low_highcut,  &trigger,
                                 &vibrato};
    constexpr int first = 2;  // after the program and client names
    for (int i = 0; i < static_cast<int>(std::size(parameters)) && first + i < argc; ++i) {
        *parameters[i] = static_cast<float>(atoi(argv[first + i]));
    }
}
