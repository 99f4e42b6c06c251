// The shared-memory test fixture: runtime directory, daemon, tool runs, log records.
#include "shm_daemon.h"

#include <binder/IServiceManager.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <regex>
#include <stdexcept>

namespace shm_test {

const char service_name[] = "com.velmora.android.kel.IAndroidShm";

std::string make_runtime_dir() {
    static std::atomic<int> sequence{0};
    const std::string dir = harness::test_dir() + "/run-" + std::to_string(++sequence);
    if (mkdir(dir.c_str(), 0700) != 0 || chmod(dir.c_str(), 0700) != 0) {
        throw std::runtime_error("cannot create " + dir);
    }
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    return dir;
}

android::sp<android::IAndroidShm> find_service() {
    const android::sp<android::IBinder> binder =
        android::defaultServiceManager()->getService(android::String16(service_name));
    return android::IAndroidShm::asInterface(binder);
}

memwarden_daemon::memwarden_daemon(const std::string& runtime_dir)
    : process_(std::make_unique<harness::child_process>(
          MEMWARDEN_PATH, std::vector<std::string>{},
          std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime_dir, "ANDROID_LOG_TAGS=*:v"})) {}

memwarden_daemon::~memwarden_daemon() {
    process_->stop(std::chrono::seconds(1));
    expect_no_sanitizer_report("memwarden", process_->err());
}

void expect_no_sanitizer_report(const std::string& program, const std::string& output) {
    const bool report = output.find("Sanitizer:") != std::string::npos ||
                        output.find("runtime error:") != std::string::npos;
    EXPECT_FALSE(report) << program << " reported:\n" << output;
}

bool memwarden_daemon::wait_published(harness::duration timeout) {
    return harness::wait_until([&] { return !process_->running() || find_service() != nullptr; },
                               timeout) &&
           process_->running();
}

tool_run_t run_tool(const std::string& path, const std::vector<std::string>& args,
                    const std::string& runtime_dir) {
    harness::child_process tool(path, args,
                                {"XDG_RUNTIME_DIR=" + runtime_dir, "ANDROID_LOG_TAGS=*:v"});
    tool_run_t run;
    const auto status = tool.wait(std::chrono::seconds(20));
    run.status = status ? *status : tool.stop(std::chrono::seconds(1));
    run.out = tool.out();
    run.err = tool.err();
    expect_no_sanitizer_report(path, run.err);
    return run;
}

std::vector<log_record_t> parse_log(const std::string& text) {
    static const std::regex record(
        R"(^(\S+) ([VDIWEF]) \d\d-\d\d \d\d:\d\d:\d\d +\d+ +\d+ (.*)$)");
    std::vector<log_record_t> records;
    for (const std::string& line : harness::split_lines(text)) {
        std::smatch m;
        if (std::regex_match(line, m, record)) {
            records.push_back({m[1].str(), m[2].str()[0], m[3].str()});
        } else if (!records.empty()) {
            records.back().message += "\n" + line;
        }
    }
    return records;
}

std::vector<log_record_t> records_of(const std::string& text, const std::string& tag) {
    std::vector<log_record_t> out;
    for (auto& r : parse_log(text)) {
        if (r.tag == tag) out.push_back(r);
    }
    return out;
}

void live_service::SetUp() {
    runtime_dir = make_runtime_dir();
    daemon = std::make_unique<memwarden_daemon>(runtime_dir);
    ASSERT_TRUE(daemon->wait_published()) << daemon->log();
    service = find_service();
    ASSERT_NE(service, nullptr);
}

std::string live_service::peek(const std::vector<std::string>& args) {
    const tool_run_t run = run_tool(WARDENPEEK_PATH, args, runtime_dir);
    EXPECT_EQ(run.status.code, 0) << run.status.describe() << "\n" << run.err;
    return run.out;
}

}  // namespace shm_test
