# linkwatch: the watch of a network link, with the client frame it runs through.
LOCAL_PATH := $(call my-dir)

include $(CLEAR_VARS)
include $(JACK_SUITE_FLAGS_MK)
LOCAL_MODULE := linkwatch
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := \
    main.cpp \
    linkwatch.cpp \
    link_counter.cpp \
    stamp.cpp \
    ../common/client_frame.cpp \
    ../common/exit_path.cpp \
    ../common/helper_thread.cpp
LOCAL_C_INCLUDES := \
    $(LOCAL_PATH) \
    $(LOCAL_PATH)/../common \
    $(JACK_SUITE_JACK_INCLUDES)
LOCAL_SHARED_LIBRARIES := libjack
include $(BUILD_EXECUTABLE)
