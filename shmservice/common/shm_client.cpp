// Binding and buffer-base steps of the shared-memory tools.
#include "shm_client.h"

#include <binder/IServiceManager.h>

using namespace android;

sp<IMemoryHeap> gCurrentHeap;

sp<IAndroidShm> getShmService() {
    const sp<IBinder> binder =
        defaultServiceManager()->getService(String16(SHM_SERVICE_NAME));
    if (binder == nullptr) return nullptr;
    return IAndroidShm::asInterface(binder);
}

uintptr_t getBufferBase(int32_t index, void (*report_unpublished)(const char* message)) {
    const sp<IAndroidShm> service = getShmService();
    if (service == nullptr) {
        report_unpublished("The TaviBufferServer is not published");
        return BUFFER_BASE_FAILED;
    }
    gCurrentHeap = service->bufferHeap(index);
    if (gCurrentHeap == nullptr) return BUFFER_BASE_FAILED;
    // A heap that cannot be mapped gives MAP_FAILED, which is the failure value too.
    return reinterpret_cast<uintptr_t>(gCurrentHeap->getBase());
}
