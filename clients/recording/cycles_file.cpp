// Writing a recorder's cycles.txt.
#include "cycles_file.h"

#include <cstdio>

namespace recording {

bool write_cycles_file(const std::string& path, std::uint32_t period,
                       const cycle_account& account, size_t margin, std::uint32_t lag) {
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    const overrun_map map = account.overruns(period, margin, lag);
    fprintf(f, "period %u\nnotices %zu %zu\n", period, account.notices_seen,
            account.notice_times.size());
    for (size_t k = 0; k < account.cycle_times.size(); ++k) {
        fprintf(f, "cycle %u %d %u\n", account.cycle_times[k], map.touched(k) ? 1 : 0, lag);
    }
    for (const std::uint32_t notice : account.notice_times) fprintf(f, "notice %u\n", notice);
    return fclose(f) == 0;
}

}  // namespace recording
