// What the shared-memory tests share: a private binder directory for each test, a
// memwarden daemon that is always stopped, runs of the tools, and the log lines
// that liblog writes to standard error, read back as records.
#pragma once

#include <IAndroidShm.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "shm_service_name.h"

namespace shm_test {

inline constexpr const char* service_name = SHM_SERVICE_NAME;

// A new mode-0700 directory under the test's files, set as XDG_RUNTIME_DIR of this
// process (so its own lookups use it) and given to every program started here.
std::string make_runtime_dir();

// One lookup of the service; null when it is not published.
android::sp<android::IAndroidShm> find_service();

// memwarden, started in `runtime_dir` with debug logging; stopped when it goes.
// A `wrapper` (a command that execs the words after it) runs it, under `limits`.
class memwarden_daemon {
public:
    explicit memwarden_daemon(const std::string& runtime_dir,
                              const std::vector<std::string>& wrapper = {},
                              const std::vector<harness::resource_limit>& limits = {});
    // Stops the daemon; a sanitizer report in its output fails the test.
    ~memwarden_daemon();
    // Until a lookup finds the service; false if the daemon ended or it timed out.
    bool wait_published(harness::duration timeout = harness::duration(5000));
    harness::child_process& process() { return *process_; }
    std::string log() const { return process_->err(); }

private:
    std::unique_ptr<harness::child_process> process_;
};

// Fails the current test if `output` holds a sanitizer report.
void expect_no_sanitizer_report(const std::string& program, const std::string& output);

// The number in a line that is exactly `prefix`, "0x" and lower-case hex digits;
// 0 when the line has another form.
uint64_t hex_after(const std::string& line, const std::string& prefix);

// Whether `address`, as a tool printed it, is a buffer's whole address in a tool
// of this build. A 64-bit tool maps buffers above 4 GiB on this machine, so a cut
// to 32 bits would show; a 32-bit tool's address is page-aligned, below 4 GiB and
// neither 0 nor the failure value 0xffffffff.
testing::AssertionResult is_whole_address(uint64_t address);

struct tool_run_t {
    std::string out;
    std::string err;
    harness::exit_status status;
};

// Runs a tool to its end (at most 20 s) with `runtime_dir` and debug logging, under
// `limits`; a sanitizer report on its standard error fails the test.
tool_run_t run_tool(const std::string& path, const std::vector<std::string>& args,
                    const std::string& runtime_dir,
                    const std::vector<harness::resource_limit>& limits = {});

// One liblog line: "TAG P MM-DD HH:MM:SS pid tid message". Lines that do not start
// a record belong to the message before them, as liblog writes a message with
// embedded newlines, so `message` is the text as it was logged.
struct log_record_t {
    std::string tag;
    char priority;
    std::string message;
};
std::vector<log_record_t> parse_log(const std::string& text);
// Only the records of `tag`.
std::vector<log_record_t> records_of(const std::string& text, const std::string& tag);

// Sets up a runtime directory and a published memwarden for each test.
class live_service : public ::testing::Test {
protected:
    void SetUp() override;
    // The tool's output; the run must end with status 0.
    std::string peek(const std::vector<std::string>& args);

    std::string runtime_dir;
    std::unique_ptr<memwarden_daemon> daemon;
    android::sp<android::IAndroidShm> service;
};

}  // namespace shm_test
