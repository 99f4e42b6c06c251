// cycles_file_writer <cycles.txt> <period> <margin> <lag> <notices seen> <cycle times> [<notice times>]
// Writes cycles.txt with the recorder's own code, from frame times given as
// comma-separated lists: demo_test_overruns.py checks on it how the demo's test reads
// the recorder's verdicts.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "cycles_file.h"

namespace {

std::vector<std::uint32_t> frame_times(const char* list) {
    std::vector<std::uint32_t> times;
    std::istringstream in(list);
    for (std::string item; std::getline(in, item, ',');) times.push_back(std::stoul(item));
    return times;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7 && argc != 8) {
        fprintf(stderr, "usage: cycles_file_writer <cycles.txt> <period> <margin> <lag> "
                        "<notices seen> <cycle times> [<notice times>]\n");
        return 2;
    }
    recording::cycle_account account{frame_times(argv[6]), frame_times(argc == 8 ? argv[7] : ""),
                                     std::stoul(argv[5])};
    const bool ok = recording::write_cycles_file(argv[1], std::stoul(argv[2]), account,
                                                 std::stoul(argv[3]), std::stoul(argv[4]));
    return ok ? 0 : 1;
}
