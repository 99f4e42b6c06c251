# passthru.so: the internal client, linked against the server library and
# installed where the JACK server finds internal clients.
LOCAL_PATH := $(call my-dir)

include $(CLEAR_VARS)
include $(JACK_SUITE_FLAGS_MK)
LOCAL_MODULE := passthru
LOCAL_MODULE_TAGS := optional
LOCAL_MODULE_PATH := $(JACK_SUITE_INTERNAL_CLIENT_DIR)
LOCAL_SRC_FILES := inprocess.cpp
LOCAL_C_INCLUDES := \
    $(LOCAL_PATH)/../clients/common \
    $(JACK_SUITE_JACK_INCLUDES)
LOCAL_CFLAGS += -fvisibility=hidden
LOCAL_SHARED_LIBRARIES := libjackserver
include $(BUILD_SHARED_LIBRARY)
