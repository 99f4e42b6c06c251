# memwarden: publishes the shared-memory service of libjackshm and serves it.
# Started by init (memwarden.rc in this folder).
LOCAL_PATH := $(call my-dir)

include $(CLEAR_VARS)
include $(JACK_SUITE_FLAGS_MK)
LOCAL_MODULE := memwarden
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := main.cpp
LOCAL_C_INCLUDES := \
    $(LOCAL_PATH)/../../interface \
    $(JACK_SUITE_JACKSHM_INCLUDES)
LOCAL_SHARED_LIBRARIES := libjackshm libbinder libutils libcutils liblog
include $(BUILD_EXECUTABLE)
