# fuzzpedal: the distortion client, with the client frame it runs through.
LOCAL_PATH := $(call my-dir)

include $(CLEAR_VARS)
LOCAL_MODULE := fuzzpedal
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := \
    main.cpp \
    fuzzpedal.cpp \
    cycle_lines.cpp \
    fuzzpedal_args.cpp \
    distortion.cpp \
    ../common/client_frame.cpp \
    ../common/exit_path.cpp
LOCAL_C_INCLUDES := \
    $(LOCAL_PATH) \
    $(LOCAL_PATH)/../common \
    $(JACK_SUITE_JACK_INCLUDES)
# The effect is exact to the bit: no fused multiply-adds, no fast math.
LOCAL_CFLAGS := -Wall -Wextra -ffp-contract=off -fno-fast-math
LOCAL_CPPFLAGS := -std=c++17
LOCAL_SHARED_LIBRARIES := libjack
include $(BUILD_EXECUTABLE)
