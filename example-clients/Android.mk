# passthru.so: the internal client, linked against the server library and
# installed where the JACK server finds internal clients.
LOCAL_PATH := $(call my-dir)

include $(CLEAR_VARS)
LOCAL_MODULE := passthru
LOCAL_MODULE_TAGS := optional
LOCAL_MODULE_PATH := $(JACK_SUITE_INTERNAL_CLIENT_DIR)
LOCAL_SRC_FILES := inprocess.cpp
LOCAL_C_INCLUDES := \
    $(LOCAL_PATH)/../clients/common \
    $(JACK_SUITE_JACK_INCLUDES)
LOCAL_CFLAGS := -Wall -Wextra -fvisibility=hidden
LOCAL_CPPFLAGS := -std=c++17
LOCAL_SHARED_LIBRARIES := libjackserver
include $(BUILD_SHARED_LIBRARY)
