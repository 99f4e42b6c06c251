# spinreel: the WAV loop player, with the client frame and the WAV loader.
LOCAL_PATH := $(call my-dir)

include $(CLEAR_VARS)
LOCAL_MODULE := spinreel
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := \
    main.cpp \
    spinreel.cpp \
    loop_mix.cpp \
    ../common/client_frame.cpp \
    ../common/exit_path.cpp \
    ../common/wav_loader.cpp
LOCAL_C_INCLUDES := \
    $(LOCAL_PATH) \
    $(LOCAL_PATH)/../common \
    $(JACK_SUITE_JACK_INCLUDES)
# The mix is exact to the bit: no fused multiply-adds, no fast math.
LOCAL_CFLAGS := -Wall -Wextra -ffp-contract=off -fno-fast-math
LOCAL_CPPFLAGS := -std=c++17
LOCAL_SHARED_LIBRARIES := libjack
include $(BUILD_EXECUTABLE)
