// wardencheck's log, read back from liblog's lines: the headings alone without a
// service, every result against a live memwarden and the state that the run
// leaves; and check_allocated's fail report, called in-process.
#include <android/log.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shm_daemon.h"
#include "wardencheck.h"

using namespace android;
using namespace shm_test;

namespace {

const std::vector<std::string> headings = {
    "*****test: increase_value_once*****\n",
    "*****test: increase_value_10times*****\n",
    "*****test: check_allocated*****\n",
    "*****test: test_set_get_registry_index*****\n",
    "*****test: test_memset*****\n",
};

std::vector<std::string> messages(const std::vector<log_record_t>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(r.message);
    return out;
}

TEST(wardencheck_without_service, logs_exactly_the_five_headings) {
    const tool_run_t run = run_tool(WARDENCHECK_PATH, {}, make_runtime_dir());
    EXPECT_EQ(run.status.code, 0);
    EXPECT_EQ(run.out, "");
    const std::vector<log_record_t> records = records_of(run.err, "WardenCheck");
    EXPECT_EQ(messages(records), headings) << run.err;
    for (const auto& r : records) EXPECT_EQ(r.priority, 'D');
    EXPECT_EQ(parse_log(run.err).size(), records.size()) << run.err;
}

class wardencheck : public live_service {};

// "WardenCheck base=<p> Data=0x<x>[ CHANGED]\n": the value, or -1 when the line has
// another form or another base.
struct value_line_t {
    std::string base;
    long long value = -1;
    bool changed = false;
};

bool parse_value_line(const std::string& message, value_line_t* line) {
    char base[40];
    unsigned long long value;
    int end = 0;
    if (std::sscanf(message.c_str(), "WardenCheck base=%39[0-9a-fx] Data=0x%llx%n", base, &value, &end) != 2 ||
        std::strncmp(base, "0x", 2) != 0) {
        return false;
    }
    const std::string rest = message.substr(static_cast<size_t>(end));
    if (rest != "\n" && rest != " CHANGED\n") return false;
    *line = {base, static_cast<long long>(value), rest != "\n"};
    return true;
}

long long value_of(const log_record_t& r, const std::string& base, bool changed) {
    value_line_t line;
    if (r.priority != 'D' || !parse_value_line(r.message, &line)) return -1;
    if (line.base != base || line.changed != changed) return -1;
    return line.value;
}

TEST_F(wardencheck, logs_every_result_and_leaves_one_buffer_and_registry_0) {
    service->setRegistryIndex(77);
    const tool_run_t run = run_tool(WARDENCHECK_PATH, {"ignored"}, runtime_dir);
    EXPECT_EQ(run.status.code, 0);
    EXPECT_EQ(run.out, "");
    const std::vector<log_record_t> r = records_of(run.err, "WardenCheck");
    ASSERT_EQ(r.size(), 1u + 2 + 1 + 20 + 2 + 3 + 5) << run.err;

    EXPECT_EQ(r[0].message, headings[0]);
    value_line_t line;
    ASSERT_TRUE(parse_value_line(r[1].message, &line)) << r[1].message;
    const std::string once_base = line.base;
    EXPECT_TRUE(is_whole_address(std::strtoull(once_base.c_str(), nullptr, 16)));
    const long long first = value_of(r[1], once_base, false);
    ASSERT_GE(first, 0) << r[1].message;
    EXPECT_EQ(value_of(r[2], once_base, true), first + 1) << r[2].message;

    EXPECT_EQ(r[3].message, headings[1]);
    ASSERT_TRUE(parse_value_line(r[4].message, &line)) << r[4].message;
    const std::string base = line.base;
    long long previous = value_of(r[4], base, false);
    ASSERT_GE(previous, 0);
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(value_of(r[4 + 2 * k], base, false), previous) << r[4 + 2 * k].message;
        EXPECT_EQ(value_of(r[5 + 2 * k], base, true), previous + 1) << r[5 + 2 * k].message;
        previous += 1;
    }

    const std::vector<std::string> all = messages(r);
    const std::vector<std::string> rest(all.begin() + 24, all.end());
    const std::vector<std::string> expected_rest = {
        headings[2], "pass\n",
        headings[3], "pass\n", "pass\n",
        headings[4], "result : 0 0 0 0\n", "memory dump : 0 0 0 0\n",
        "result : -1 -1 -1 -1\n", "memory dump : -1 -1 -1 -1",
    };
    EXPECT_EQ(rest, expected_rest);
    for (const auto& record : r) EXPECT_EQ(record.priority, 'D') << record.message;

    EXPECT_EQ(service->getRegistryIndex(), 0);
    int allocated = 0;
    for (int32_t i = 0; i <= 256; ++i) allocated += service->checkAllocated(i);
    EXPECT_EQ(allocated, 1);
    // test_memset's buffer, left filled with 0xff.
    const sp<IMemoryHeap> heap = service->bufferHeap(0);
    ASSERT_NE(heap, nullptr);
    ASSERT_NE(heap->getBase(), MAP_FAILED);
    const auto* bytes = static_cast<const unsigned char*>(heap->getBase());
    EXPECT_EQ(std::count(bytes, bytes + 10000, 0xff), 10000);
}

TEST_F(wardencheck, a_second_run_starts_from_released_buffers) {
    ASSERT_EQ(run_tool(WARDENCHECK_PATH, {}, runtime_dir).status.code, 0);
    // A buffer of another client, allocated before the run: release_all frees it.
    ASSERT_EQ(service->allocate(100), 1);
    const tool_run_t run = run_tool(WARDENCHECK_PATH, {}, runtime_dir);
    const std::vector<std::string> m = messages(records_of(run.err, "WardenCheck"));
    EXPECT_EQ(std::count(m.begin(), m.end(), "pass\n"), 3) << run.err;
    EXPECT_EQ(std::count(m.begin(), m.end(), "failed\n"), 0);
    EXPECT_EQ(service->checkAllocated(1), 0);
    EXPECT_EQ(service->checkAllocated(0), 1);
}

// check_allocated alone, without the release_all before it, so that a buffer held
// by someone else is seen. Its lines are caught by a logger of this process.
std::vector<log_record_t> caught;
void catch_line(const __android_logger_data* data, const char* message) {
    caught.push_back({data->tag ? data->tag : "", "  VDIWEF"[data->priority & 7], message});
}

std::vector<log_record_t> run_caught(void (*test)()) {
    caught.clear();
    __android_log_set_logger(catch_line);
    const int old_priority = __android_log_get_minimum_priority();
    __android_log_set_minimum_priority(ANDROID_LOG_VERBOSE);
    test();
    __android_log_set_minimum_priority(old_priority);
    __android_log_set_logger(__android_log_stderr_logger);
    return caught;
}

TEST_F(wardencheck, check_allocated_reports_fail_when_an_index_differs) {
    ASSERT_EQ(service->allocate(100), 0);
    ASSERT_EQ(service->allocate(100), 1);
    service->releaseBuffer(0);
    // Index 1 is held already, so check_allocated's own buffer lands at 0.
    EXPECT_EQ(messages(run_caught(check_allocated)),
              (std::vector<std::string>{headings[2], "failed\n", "fail\n"}));

    release_all();
    EXPECT_EQ(service->checkAllocated(0) + service->checkAllocated(1), 0);
    EXPECT_EQ(messages(run_caught(check_allocated)),
              (std::vector<std::string>{headings[2], "pass\n"}));
}

TEST_F(wardencheck, a_full_service_costs_the_error_line_and_touches_nothing) {
    for (int32_t i = 0; i <= 256; ++i) ASSERT_EQ(service->allocate(4096), i);
    const sp<IMemoryHeap> first = service->bufferHeap(0);
    ASSERT_NE(first, nullptr);
    std::memset(first->getBase(), 0x11, 4096);

    for (auto test : {increase_value_once, test_memset}) {
        const std::vector<log_record_t> r = run_caught(test);
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(r[1].message, "Error shared memory not available\n");
        EXPECT_EQ(r[1].priority, 'E');
        EXPECT_EQ(r[1].tag, "WardenCheck");
    }
    const std::vector<log_record_t> r = run_caught(increase_value_10times);
    ASSERT_EQ(r.size(), 11u);
    for (int k = 1; k <= 10; ++k) EXPECT_EQ(r[k].message, "Error shared memory not available\n");
    const auto* bytes = static_cast<const unsigned char*>(first->getBase());
    EXPECT_EQ(std::count(bytes, bytes + 4096, 0x11), 4096);
}

}  // namespace
