// Small helpers shared by the JACK tests: polling, files and text lines.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace harness {

using namespace std::chrono_literals;
using duration = std::chrono::milliseconds;

// Polls `done` every few milliseconds until it returns true or `timeout` passes.
// Returns the last result, so a condition met at the deadline still counts.
bool wait_until(const std::function<bool()>& done, duration timeout);

std::string read_file(const std::string& path);
// Lines without their '\n'; a final line without '\n' is kept.
std::vector<std::string> split_lines(const std::string& text);
int count_line(const std::string& text, const std::string& line);
// Whether `lines` occur as whole lines of `text` in this order (others may lie between).
bool lines_in_order(const std::string& text, const std::vector<std::string>& lines);

// A directory for this test process's files, created on first use.
const std::string& test_dir();
// Removes test_dir() if it exists, or with `keep` names it on stderr.
void finish_test_dir(bool keep);
// test_dir()/<name> (a path below it), created if missing; throws on failure.
std::string make_test_subdir(const std::string& name);
// test_dir()/<name> with an empty tmpfs mounted on it, private to this test
// process's mount namespace; unmounted by finish_test_dir. For files that a 32-bit
// program under qemu-user must list: it cannot list a directory of this disk.
std::string make_tmpfs_subdir(const std::string& name);
// The names in `dir` but . and .., sorted; none if it cannot be read.
std::vector<std::string> dir_entries(const std::string& dir);

// The signals `pid` catches (SigCgt of /proc/<pid>/status), bit n-1 for signal n.
std::uint64_t caught_signals(pid_t pid);
bool catches_all(pid_t pid, const std::vector<int>& signals);
// The signals the main thread of `pid` blocks (its SigBlk), bit n-1 for signal n.
std::uint64_t main_thread_blocked_signals(pid_t pid);
// Whether `mask` (bit n-1 for signal n) holds every one of `signals`.
bool mask_has_all(std::uint64_t mask, const std::vector<int>& signals);

// User and system CPU time that `pid` has used so far, in clock ticks.
long cpu_ticks(pid_t pid);

// Processes whose parent is this process, zombies included.
std::vector<pid_t> child_pids();

// Mounts an empty tmpfs on /sdcard (creating the mount point if missing) inside
// this test process's mount namespace, so that programs with fixed paths there
// find the files a test writes, and the host's /sdcard stays untouched. Idempotent;
// throws on failure.
void mount_private_sdcard();

}  // namespace harness
