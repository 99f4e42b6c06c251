// Polling, file, text and /proc helpers of the test harness.
#include "util.h"

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace harness {

bool wait_until(const std::function<bool()>& done, duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return done();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

int count_line(const std::string& text, const std::string& line) {
    int n = 0;
    for (const auto& l : split_lines(text)) n += l == line;
    return n;
}

bool lines_in_order(const std::string& text, const std::vector<std::string>& lines) {
    size_t next = 0;
    for (const auto& l : split_lines(text)) {
        if (next < lines.size() && l == lines[next]) ++next;
    }
    return next == lines.size();
}

namespace {
std::string created_test_dir;
std::vector<std::string> mounted_subdirs;
}

const std::string& test_dir() {
    if (created_test_dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/jacktest-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
        created_test_dir = pattern;
    }
    return created_test_dir;
}

void finish_test_dir(bool keep) {
    if (created_test_dir.empty()) return;
    for (const auto& dir : mounted_subdirs) umount2(dir.c_str(), MNT_DETACH);
    if (keep) {
        std::fprintf(stderr, "test files kept in %s\n", created_test_dir.c_str());
    } else {
        std::error_code ignored;
        std::filesystem::remove_all(created_test_dir, ignored);
    }
}

std::string make_test_subdir(const std::string& name) {
    const std::string dir = test_dir() + "/" + name;
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) throw std::runtime_error("mkdir " + dir);
    return dir;
}

std::string make_tmpfs_subdir(const std::string& name) {
    const std::string dir = make_test_subdir(name);
    if (mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        throw std::runtime_error("mounting tmpfs on " + dir + ": " + std::strerror(errno));
    }
    mounted_subdirs.push_back(dir);
    return dir;
}

std::vector<std::string> dir_entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        // readdir64: on a 32-bit target plain readdir fails (EOVERFLOW) on file systems
        // whose inode numbers or directory offsets need 64 bits.
        while (dirent64* e = readdir64(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
                names.push_back(e->d_name);
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Fields 14 and 15 of stat.
long cpu_ticks(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i < 14; ++i) rest >> field;
    long utime = 0, stime = 0;
    rest >> utime >> stime;
    return utime + stime;
}

namespace {

// A signal mask line ("SigCgt:", "SigBlk:") of a status file of /proc.
std::uint64_t signal_mask(const std::string& status_path, const std::string& field) {
    std::ifstream status(status_path);
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field, 0) == 0) return std::stoull(line.substr(field.size()), nullptr, 16);
    }
    return 0;
}

}  // namespace

bool mask_has_all(std::uint64_t mask, const std::vector<int>& signals) {
    for (int s : signals) {
        if (!(mask & (std::uint64_t{1} << (s - 1)))) return false;
    }
    return true;
}

std::uint64_t caught_signals(pid_t pid) {
    return signal_mask("/proc/" + std::to_string(pid) + "/status", "SigCgt:");
}

bool catches_all(pid_t pid, const std::vector<int>& signals) {
    return mask_has_all(caught_signals(pid), signals);
}

std::uint64_t main_thread_blocked_signals(pid_t pid) {
    const std::string id = std::to_string(pid);
    return signal_mask("/proc/" + id + "/task/" + id + "/status", "SigBlk:");
}

std::vector<pid_t> child_pids() {
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return children;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        // Field 4 of stat is the parent; the name in parentheses may hold spaces.
        const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        std::string state;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == getpid()) children.push_back(pid);
    }
    closedir(proc);
    return children;
}

void mount_private_sdcard() {
    static bool mounted = false;
    if (mounted) return;
    if (mkdir("/sdcard", 0755) != 0 && errno != EEXIST) {
        throw std::runtime_error(std::string("mkdir /sdcard: ") + std::strerror(errno));
    }
    // The test main made every mount of this process private, so this one stays here.
    if (mount("tmpfs", "/sdcard", "tmpfs", 0, "mode=0755") != 0) {
        throw std::runtime_error(std::string("mounting tmpfs on /sdcard: ") + std::strerror(errno));
    }
    mounted = true;
}

}  // namespace harness
