// The steps that wardenpeek and wardencheck share: binding to the shared-memory
// service, fetching a buffer's base address, and writing an address as the tools
// print it.
#pragma once

#include <stdint.h>

#include <IAndroidShm.h>
#include <binder/IMemory.h>

// The heap behind the address that getBufferBase gave last; it keeps that mapping
// alive while the caller reads or writes through it.
extern android::sp<android::IMemoryHeap> gCurrentHeap;

// getBufferBase's failure value.
constexpr uintptr_t BUFFER_BASE_FAILED = static_cast<uintptr_t>(-1);

// One lookup of the service by name; null when it is not published.
android::sp<android::IAndroidShm> getShmService();

// Binds afresh and gives the address of buffer `index` mapped into this process, or
// BUFFER_BASE_FAILED. When the service is gone, `report_unpublished` receives
// "The TaviBufferServer is not published" (each tool sends it where its other
// messages go).
uintptr_t getBufferBase(int32_t index, void (*report_unpublished)(const char* message));

// An address as the tools print it: "0x" and full hex, except that the failure
// value prints as "0xffffffff", as on the 32-bit device.
struct address_text_t {
    char text[2 + 2 * sizeof(uintptr_t) + 1];
};
address_text_t format_address(uintptr_t address);
