# The compiler flags that every module of the device build shares, as the CMake
# build gives them to every target: C++17, and warnings as errors. Each program's
# Android.mk includes this file right after $(CLEAR_VARS), through the path that the
# top-level Android.mk sets:
#
#     include $(JACK_SUITE_FLAGS_MK)
#
# Modules whose processing must give the same bits on every target add
#
#     LOCAL_CFLAGS += $(JACK_SUITE_EXACT_FLOAT_CFLAGS)
#
# so that the compiler neither fuses a multiply and an add into one instruction
# nor reorders the arithmetic: each product and sum is rounded as written.
JACK_SUITE_EXACT_FLOAT_CFLAGS := -ffp-contract=off -fno-fast-math
LOCAL_CFLAGS := -Wall -Wextra -Werror
LOCAL_CPPFLAGS := -std=c++17
