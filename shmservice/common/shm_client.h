// The steps that wardenpeek and wardencheck share: binding to the shared-memory
// service and fetching a buffer's base address (printed with format_address).
#pragma once

#include <stdint.h>

#include <IAndroidShm.h>
#include <binder/IMemory.h>

#include "address_text.h"
#include "shm_service_name.h"

// The tools probe buffer indices 0 to SHM_MAX_INDEX; a registry index above it
// means that there is no registry.
constexpr int32_t SHM_MAX_INDEX = 256;

// The heap behind the address that getBufferBase gave last; it keeps that mapping
// alive while the caller reads or writes through it.
extern android::sp<android::IMemoryHeap> gCurrentHeap;

// One lookup of the service by name; null when it is not published.
android::sp<android::IAndroidShm> getShmService();

// Binds afresh and gives the address of buffer `index` mapped into this process, or
// BUFFER_BASE_FAILED. When the service is gone, `report_unpublished` receives
// "The TaviBufferServer is not published" (each tool sends it where its other
// messages go).
uintptr_t getBufferBase(int32_t index, void (*report_unpublished)(const char* message));
