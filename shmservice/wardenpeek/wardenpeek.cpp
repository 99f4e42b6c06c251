// One command per run, looked up in a table of command words. Every line goes to
// one output stream (standard output for the program).
#include "wardenpeek.h"

#include <cstring>

#include "registry_dump.h"
#include "shm_client.h"

using namespace android;

namespace {

FILE* peek_output = stdout;

void print_line(const char* text) {
    std::fprintf(peek_output, "%s\n", text);
}

void print_usage() {
    print_line("usage\n wardenpeek [status|header|body|index|semaphore]");
    print_line(" status: show the shared memory allocation status");
    // "infomations" and "exist" on purpose: users' scripts match these lines byte for byte.
    print_line(" header: show the registry header infomations if the registry exist");
    print_line(" body: show the registry body infomations if the registry exist");
    print_line(" index: show the index of array that is allocated registry shared memory");
    print_line(" semaphore: show the memory array about semaphore simulation");
}

sp<IAndroidShm> bind_or_report() {
    sp<IAndroidShm> service = getShmService();
    if (service == nullptr) print_line("shm service is not available");
    return service;
}

// The base of the registry's buffer, or 0 after the missing-registry line or when
// the buffer cannot be reached.
const uint8_t* registry_base(const char* missing_line) {
    const sp<IAndroidShm> service = bind_or_report();
    if (service == nullptr) return nullptr;
    if (service->getRegistryIndex() > SHM_MAX_INDEX) {
        print_line(missing_line);
        return nullptr;
    }
    const uintptr_t base = getBufferBase(service->getRegistryIndex(), print_line);
    if (base == 0 || base == BUFFER_BASE_FAILED) return nullptr;
    return reinterpret_cast<const uint8_t*>(base);
}

void show_semaphore() {
    const sp<IAndroidShm> service = bind_or_report();
    if (service == nullptr) return;
    service->runCommand("semaphore");
    print_line("log will be shown in the logcat log");
}

void show_index() {
    const sp<IAndroidShm> service = bind_or_report();
    if (service == nullptr) return;
    print_line("<<<<<<<<<<< show registry index >>>>>>>>>>");
    std::fprintf(peek_output, "index [%3d]\n", service->getRegistryIndex());
}

void show_status() {
    const sp<IAndroidShm> service = bind_or_report();
    if (service == nullptr) return;
    print_line("<<<<<<<<<<< dump memory allocation status >>>>>>>>>>");
    for (int32_t i = SHM_MAX_INDEX; i >= 0; --i) {
        if (service->checkAllocated(i) == 1) {
            const address_text_t address = format_address(getBufferBase(i, print_line));
            std::fprintf(peek_output, "Mem[%3d] == %s\n", i, address.text);
        } else {
            std::fprintf(peek_output, "Mem[%3d] == NULL\n", i);
        }
    }
}

void show_header() {
    const uint8_t* base = registry_base("don't have a registry header");
    if (base != nullptr) print_registry_header(base, gCurrentHeap->getSize(), peek_output);
}

void show_body() {
    const uint8_t* base = registry_base("don't have a registry body");
    if (base != nullptr) print_registry_body(base, gCurrentHeap->getSize(), peek_output);
}

struct command_t {
    const char* word;
    void (*run)();
};

// Compared in this order; the first equal word runs.
const command_t commands[] = {
    {"semaphore", show_semaphore},
    {"index", show_index},
    {"status", show_status},
    {"header", show_header},
    {"body", show_body},
};

}  // namespace

int wardenpeek_main(int argc, char** argv, FILE* out) {
    peek_output = out;
    if (argc < 2) {
        print_usage();
        return 0;
    }
    for (const command_t& command : commands) {
        if (std::strcmp(argv[1], command.word) == 0) {
            command.run();
            return 0;
        }
    }
    std::fprintf(peek_output, "%s is invalid parameter\n", argv[1]);
    return 0;
}
