# wardencheck: five tests against the service, results in the Android log.
LOCAL_PATH := $(call my-dir)

include $(CLEAR_VARS)
include $(JACK_SUITE_FLAGS_MK)
LOCAL_MODULE := wardencheck
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := \
    main.cpp \
    wardencheck.cpp \
    ../common/shm_client.cpp \
    ../common/address_text.cpp
LOCAL_C_INCLUDES := \
    $(LOCAL_PATH) \
    $(LOCAL_PATH)/../common \
    $(LOCAL_PATH)/../../interface \
    $(JACK_SUITE_JACKSHM_INCLUDES)
LOCAL_SHARED_LIBRARIES := libjackshm libbinder libutils libcutils liblog
include $(BUILD_EXECUTABLE)
