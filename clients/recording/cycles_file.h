// cycles.txt: a recorder's account of its cycles, with its verdict on each, for the
// scripts that judge the recording. Lines:
//   period <frames>
//   notices <seen> <kept>        fewer kept than seen when there was no room for
//                                more; then every cycle counts as touched
//   cycle <frame time> <touched> <notice lag>
//                                one per recorded cycle in order, the last possibly
//                                partial; touched is 1 where an overrun may have
//                                reached it (overrun_map, widened by `margin` cycles),
//                                the lag in frames the verdict allowed a notice
//   notice <frame time>          one per notice kept
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "cycle_log.h"

namespace recording {

// False when the file cannot be written whole.
bool write_cycles_file(const std::string& path, std::uint32_t period,
                       const cycle_account& account, size_t margin, std::uint32_t lag);

}  // namespace recording
