// wardenpeek against a live memwarden: every command's output compared line for
// line, and the registry read from a buffer that the test writes. The printer alone
// is tested in registry_dump_test.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "registry_image.h"
#include "shm_client.h"
#include "shm_daemon.h"

using namespace android;
using namespace shm_test;
using namespace registry_image;

namespace {

const std::vector<std::string> usage_lines = {
    "usage",
    " wardenpeek [status|header|body|index|semaphore]",
    " status: show the shared memory allocation status",
    " header: show the registry header infomations if the registry exist",
    " body: show the registry body infomations if the registry exist",
    " index: show the index of array that is allocated registry shared memory",
    " semaphore: show the memory array about semaphore simulation",
};

// The address that a header line shows, as a number; 0 when it is not full hex.
uintptr_t header_address(const std::string& line) {
    const size_t second = line.rfind(" 0x");
    if (second == std::string::npos) return 0;
    const uint64_t first = hex_after(line.substr(0, second), "memory address ");
    return first != 0 && hex_after(line, line.substr(0, second + 1)) == first ? first : 0;
}

class wardenpeek : public live_service {
protected:
    // A buffer of `size` bytes holding the test's registry, named as the registry.
    int32_t publish_registry(int32_t size) {
        const int32_t index = service->allocate(size);
        heap = service->bufferHeap(index);
        EXPECT_NE(heap, nullptr);
        if (heap == nullptr || heap->getBase() == MAP_FAILED) return -1;
        write_registry(static_cast<uint8_t*>(heap->getBase()));
        service->setRegistryIndex(index);
        return index;
    }
    sp<IMemoryHeap> heap;
};

TEST(wardenpeek_words, usage_and_invalid_words_need_no_service) {
    const std::string dir = make_runtime_dir();
    EXPECT_EQ(harness::split_lines(run_tool(WARDENPEEK_PATH, {}, dir).out), usage_lines);
    const tool_run_t capital = run_tool(WARDENPEEK_PATH, {"Status"}, dir);
    EXPECT_EQ(capital.out, "Status is invalid parameter\n");
    EXPECT_EQ(capital.status.code, 0);
    EXPECT_EQ(run_tool(WARDENPEEK_PATH, {"statu"}, dir).out, "statu is invalid parameter\n");
    EXPECT_EQ(run_tool(WARDENPEEK_PATH, {""}, dir).out, " is invalid parameter\n");
}

TEST(wardenpeek_words, every_command_without_a_service_says_so) {
    const std::string dir = make_runtime_dir();
    for (const char* word : {"status", "header", "body", "index", "semaphore"}) {
        const tool_run_t run = run_tool(WARDENPEEK_PATH, {word, "ignored"}, dir);
        EXPECT_EQ(run.out, "shm service is not available\n") << word;
        EXPECT_EQ(run.status.code, 0) << word;
    }
}

TEST_F(wardenpeek, status_lists_256_down_to_0_with_full_addresses) {
    ASSERT_EQ(service->allocate(4096), 0);
    ASSERT_EQ(service->allocate(4096), 1);
    ASSERT_EQ(service->allocate(100000), 2);
    service->releaseBuffer(1);
    const std::vector<std::string> lines = harness::split_lines(peek({"status"}));
    ASSERT_EQ(lines.size(), 258u);
    EXPECT_EQ(lines[0], "<<<<<<<<<<< dump memory allocation status >>>>>>>>>>");
    for (int i = 256; i >= 0; --i) {
        const std::string& line = lines[257 - i];
        char label[16];
        std::snprintf(label, sizeof label, "Mem[%3d] == ", i);
        if (i == 0 || i == 2) {
            EXPECT_TRUE(is_whole_address(hex_after(line, label))) << line;
        } else {
            EXPECT_EQ(line, std::string(label) + "NULL");
        }
    }
    EXPECT_NE(lines[255], lines[257]);
}

TEST_F(wardenpeek, index_prints_whatever_is_stored) {
    EXPECT_EQ(peek({"index"}), "<<<<<<<<<<< show registry index >>>>>>>>>>\nindex [257]\n");
    service->setRegistryIndex(5);
    EXPECT_EQ(peek({"index"}), "<<<<<<<<<<< show registry index >>>>>>>>>>\nindex [  5]\n");
    service->setRegistryIndex(-3);
    EXPECT_EQ(peek({"index"}), "<<<<<<<<<<< show registry index >>>>>>>>>>\nindex [ -3]\n");
    service->setRegistryIndex(123456);
    EXPECT_EQ(peek({"index"}), "<<<<<<<<<<< show registry index >>>>>>>>>>\nindex [123456]\n");
}

TEST_F(wardenpeek, header_and_body_of_a_written_registry) {
    ASSERT_EQ(publish_registry(71736), 0);
    const std::vector<std::string> header = harness::split_lines(peek({"header"}));
    ASSERT_EQ(header.size(), 16u);
    const uintptr_t address = header_address(header[1]);
    EXPECT_TRUE(is_whole_address(address)) << header[1];
    EXPECT_EQ(header, expected_header(hex(reinterpret_cast<void*>(address))));
    EXPECT_EQ(harness::split_lines(peek({"body"})), expected_body());
}

TEST_F(wardenpeek, registry_index_256_is_read_and_257_is_none) {
    for (int i = 0; i < 256; ++i) ASSERT_EQ(service->allocate(1), i);
    ASSERT_EQ(publish_registry(80000), 256);
    EXPECT_EQ(harness::split_lines(peek({"body"})), expected_body());
    EXPECT_EQ(harness::split_lines(peek({"header"})).size(), 16u);

    service->setRegistryIndex(257);
    EXPECT_EQ(peek({"header"}), "don't have a registry header\n");
    EXPECT_EQ(peek({"body"}), "don't have a registry body\n");
    service->setRegistryIndex(INT32_MAX);
    EXPECT_EQ(peek({"header"}), "don't have a registry header\n");
}

TEST_F(wardenpeek, before_any_store_there_is_no_registry) {
    EXPECT_EQ(peek({"header"}), "don't have a registry header\n");
    EXPECT_EQ(peek({"body"}), "don't have a registry body\n");
}

TEST_F(wardenpeek, a_registry_index_without_a_buffer_prints_nothing) {
    for (int32_t index : {0, 256, -1, INT32_MIN}) {
        service->setRegistryIndex(index);
        EXPECT_EQ(peek({"header"}), "") << index;
        EXPECT_EQ(peek({"body"}), "") << index;
    }
}

TEST_F(wardenpeek, a_buffer_smaller_than_a_registry_is_not_read) {
    // What wardencheck leaves behind: its 10000-byte buffer, named as the registry.
    service->setRegistryIndex(service->allocate(10000));
    const sp<IMemoryHeap> small = service->bufferHeap(0);
    ASSERT_NE(small, nullptr);
    const std::string line = "registry buffer holds " + std::to_string(small->getSize()) +
                             " bytes, less than the 71736 bytes of a registry\n";
    EXPECT_EQ(peek({"header"}), line);
    EXPECT_EQ(peek({"body"}), line);
}

TEST_F(wardenpeek, semaphore_asks_the_daemon_to_log_its_array) {
    EXPECT_EQ(peek({"semaphore"}), "log will be shown in the logcat log\n");
    ASSERT_TRUE(harness::wait_until([&] { return records_of(daemon->log(), "AndroidShm").size() >= 4; },
                                    harness::duration(2000)));
    const std::vector<log_record_t> lines = records_of(daemon->log(), "AndroidShm");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].message, "semaphore[ 0.. 7] 0 0 0 0 0 0 0 0");
    EXPECT_EQ(lines[3].message, "semaphore[24..31] 0 0 0 0 0 0 0 0");
    EXPECT_EQ(lines[0].priority, 'I');
}

// The shared buffer-base step, as both tools use it.
std::vector<std::string> reported;
void note_report(const char* message) { reported.push_back(message); }

TEST(buffer_base, without_a_service_reports_once_and_fails) {
    make_runtime_dir();
    reported.clear();
    EXPECT_EQ(getBufferBase(0, note_report), BUFFER_BASE_FAILED);
    EXPECT_EQ(reported, std::vector<std::string>{"The TaviBufferServer is not published"});
    EXPECT_STREQ(format_address(getBufferBase(0, note_report)).text, "0xffffffff");
}

TEST_F(wardenpeek, buffer_base_is_the_heap_mapped_here_and_kept_alive) {
    reported.clear();
    const int32_t index = service->allocate(5000);
    const uintptr_t base = getBufferBase(index, note_report);
    ASSERT_NE(base, BUFFER_BASE_FAILED);
    ASSERT_NE(gCurrentHeap, nullptr);
    EXPECT_EQ(base, reinterpret_cast<uintptr_t>(gCurrentHeap->getBase()));
    // The same memory the daemon holds: what this process writes, a new mapping reads.
    std::memcpy(reinterpret_cast<void*>(base), "peek", 4);
    EXPECT_EQ(getBufferBase(1, note_report), BUFFER_BASE_FAILED);
    EXPECT_EQ(gCurrentHeap, nullptr);
    const uintptr_t again = getBufferBase(index, note_report);
    ASSERT_NE(again, BUFFER_BASE_FAILED);
    EXPECT_EQ(std::memcmp(reinterpret_cast<void*>(again), "peek", 4), 0);
    EXPECT_TRUE(reported.empty());
    gCurrentHeap.clear();
}

}  // namespace
