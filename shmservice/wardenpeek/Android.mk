# wardenpeek: prints the service's buffers and the JACK registry one holds.
LOCAL_PATH := $(call my-dir)

include $(CLEAR_VARS)
LOCAL_MODULE := wardenpeek
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := \
    main.cpp \
    wardenpeek.cpp \
    registry_dump.cpp \
    ../common/shm_client.cpp \
    ../common/address_text.cpp
LOCAL_C_INCLUDES := \
    $(LOCAL_PATH) \
    $(LOCAL_PATH)/../common \
    $(JACK_SUITE_JACKSHM_INCLUDES)
LOCAL_CFLAGS := -Wall -Wextra
LOCAL_CPPFLAGS := -std=c++17
LOCAL_SHARED_LIBRARIES := libjackshm libbinder libutils libcutils liblog
include $(BUILD_EXECUTABLE)
