// tapdelay's command-line reading into the echo processor's parameters.
#include "tapdelay_args.h"

#include <cstdlib>

#include "echo.h"

void tapdelay_before_args() { echo_init(44100); }

bool tapdelay_prepare(int argc, char** argv, void**) {
    // Whole numbers only and no range check: "1.5" is 1, a word is 0.
    if (argc > 2) echo::time = static_cast<float>(atoi(argv[2]));
    if (argc > 3) echo::release = static_cast<float>(atoi(argv[3]));
    return true;
}
