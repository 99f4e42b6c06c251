# The standalone clients, one Android.mk in each program's folder.
include $(call all-subdir-makefiles)
