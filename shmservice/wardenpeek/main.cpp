// wardenpeek [status|header|body|index|semaphore]: looks into the running
// shared-memory service.
#include <cstdio>

#include "wardenpeek.h"

int main(int argc, char** argv) {
    return wardenpeek_main(argc, argv, stdout);
}
