// The shared-memory test fixture: runtime directory, daemon, tool runs, log records.
#include "shm_daemon.h"

#include <binder/IServiceManager.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cctype>
#include <sstream>
#include <stdexcept>

namespace shm_test {


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

memwarden_daemon::memwarden_daemon(const std::string& runtime_dir,
                                   const std::vector<std::string>& wrapper,
                                   const std::vector<harness::resource_limit>& limits) {
    const std::vector<std::string> command = harness::wrapped_command(wrapper, MEMWARDEN_PATH);
    process_ = std::make_unique<harness::child_process>(
        command.front(), std::vector<std::string>(command.begin() + 1, command.end()),
        std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime_dir, "ANDROID_LOG_TAGS=*:v"},
        false /*stdin_pipe*/, -1 /*stdout_fd*/, limits);
}

memwarden_daemon::~memwarden_daemon() {
    process_->stop(std::chrono::seconds(1));
    expect_no_sanitizer_report("memwarden", process_->err());
}

void expect_no_sanitizer_report(const std::string& program, const std::string& output) {
    const bool report = output.find("Sanitizer:") != std::string::npos ||
                        output.find("runtime error:") != std::string::npos;
    EXPECT_FALSE(report) << program << " reported:\n" << output;
}

uint64_t hex_after(const std::string& line, const std::string& prefix) {
    const std::string lead = prefix + "0x";
    if (line.size() <= lead.size() || line.size() > lead.size() + 16 ||
        line.compare(0, lead.size(), lead) != 0 ||
        line.find_first_not_of("0123456789abcdef", lead.size()) != std::string::npos) {
        return 0;
    }
    return std::strtoull(line.c_str() + lead.size(), nullptr, 16);
}

testing::AssertionResult is_whole_address(uint64_t address) {
    std::ostringstream text;
    text << "0x" << std::hex << address;
    if (sizeof(void*) == 8) {
        if (address > 0xffffffffull) return testing::AssertionSuccess();
        return testing::AssertionFailure() << text.str() << " is not above 4 GiB";
    }
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    if (address != 0 && address < 0xffffffffull && address % page == 0) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << text.str() << " is not a page of a 32-bit address space";
}

bool memwarden_daemon::wait_published(harness::duration timeout) {
    return harness::wait_until([&] { return !process_->running() || find_service() != nullptr; },
                               timeout) &&
           process_->running();
}

tool_run_t run_tool(const std::string& path, const std::vector<std::string>& args,
                    const std::string& runtime_dir,
                    const std::vector<harness::resource_limit>& limits) {
    harness::child_process tool(path, args,
                                {"XDG_RUNTIME_DIR=" + runtime_dir, "ANDROID_LOG_TAGS=*:v"},
                                false /*stdin_pipe*/, -1 /*stdout_fd*/, limits);
    tool_run_t run;
    const auto status = tool.wait(std::chrono::seconds(20));
    run.status = status ? *status : tool.stop(std::chrono::seconds(1));
    run.out = tool.out();
    run.err = tool.err();
    expect_no_sanitizer_report(path, run.err);
    return run;
}

namespace {

// Matches "TAG P MM-DD HH:MM:SS pid tid message", with the numbers padded by spaces.
bool parse_record_line(const std::string& line, log_record_t* record) {
    const size_t tag_end = line.find(' ');
    if (tag_end == 0 || tag_end == std::string::npos || line.size() < tag_end + 18) return false;
    const char priority = line[tag_end + 1];
    if (std::string("VDIWEF").find(priority) == std::string::npos || line[tag_end + 2] != ' ') {
        return false;
    }
    const std::string stamp = line.substr(tag_end + 3, 14);  // MM-DD HH:MM:SS
    for (size_t i = 0; i < stamp.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(stamp[i])) != 0;
        if (digit != (std::string("-: ").find(stamp[i]) == std::string::npos)) return false;
    }
    size_t at = tag_end + 17;
    for (int number = 0; number < 2; ++number) {  // pid and tid
        const size_t digits = line.find_first_not_of(' ', at);
        if (digits == at || digits == std::string::npos) return false;
        at = line.find_first_not_of("0123456789", digits);
        if (at == digits || at == std::string::npos || line[at] != ' ') return false;
    }
    *record = {line.substr(0, tag_end), priority, line.substr(at + 1)};
    return true;
}

}  // namespace

std::vector<log_record_t> parse_log(const std::string& text) {
    std::vector<log_record_t> records;
    for (const std::string& line : harness::split_lines(text)) {
        log_record_t record;
        if (parse_record_line(line, &record)) {
            records.push_back(record);
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
