# Device build of the suite, for an Android source tree of API level 19. Put this
# folder anywhere in the tree (e.g. external/jack-suite) and build it from there
# with mm, or with mmm <folder> from the tree's top. The device provides libjack,
# libjackserver, libjackshm, libbinder, libutils, libcutils and liblog; the host
# stand-ins in platform/ are not built here.

# Where the device tree keeps the JACK headers (<jack/jack.h>) and the headers of
# libjackshm (<IAndroidShm.h>, <AndroidShm.h>); set them before this file to change.
JACK_SUITE_JACK_INCLUDES ?= external/jack/common
JACK_SUITE_JACKSHM_INCLUDES ?= external/jack/android

# Where the JACK server looks for internal clients such as passthru.so.
JACK_SUITE_INTERNAL_CLIENT_DIR ?= $(TARGET_OUT_SHARED_LIBRARIES)/jack

# The compiler flags that every module includes; my-dir is this folder only here,
# before any other makefile is read.
JACK_SUITE_FLAGS_MK := $(call my-dir)/jack-suite-flags.mk

include $(call all-subdir-makefiles)
