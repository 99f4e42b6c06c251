// IAndroidShm over binder: the proxy that callers in other processes use and the
// stub that unpacks their calls for the service object. Every proxy call checks the
// transaction status and its reply reads; a failed call reads as "no service" and
// is logged, so that its default answer is never taken for the service's.
#include <IAndroidShm.h>

#include <android/log.h>
#include <binder/Parcel.h>

#include "shm_service_name.h"

namespace android {

namespace {

const char kLogTag[] = "IAndroidShm";

const char* call_name(uint32_t code) {
    switch (code) {
    case IAndroidShm::BUFFER_HEAP: return "bufferHeap";
    case IAndroidShm::RUN_COMMAND: return "runCommand";
    case IAndroidShm::ALLOCATE: return "allocate";
    case IAndroidShm::RELEASE_BUFFER: return "releaseBuffer";
    case IAndroidShm::CHECK_ALLOCATED: return "checkAllocated";
    case IAndroidShm::SET_REGISTRY_INDEX: return "setRegistryIndex";
    case IAndroidShm::GET_REGISTRY_INDEX: return "getRegistryIndex";
    default: return "an unknown call";
    }
}

// Passes `status` through; a failure leaves an error line with the call and status.
status_t logged(uint32_t code, status_t status) {
    if (status != NO_ERROR) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "%s failed: status %d", call_name(code),
                            status);
    }
    return status;
}

}  // namespace

class BpAndroidShm : public BpInterface<IAndroidShm> {
public:
    explicit BpAndroidShm(const sp<IBinder>& impl) : BpInterface<IAndroidShm>(impl) {}

    sp<IMemoryHeap> bufferHeap(int32_t index) override {
        Parcel data, reply;
        data.writeInterfaceToken(IAndroidShm::getInterfaceDescriptor());
        data.writeInt32(index);
        if (call(BUFFER_HEAP, data, &reply) != NO_ERROR) return nullptr;
        return interface_cast<IMemoryHeap>(reply.readStrongBinder());
    }

    int32_t runCommand(const char* command) override {
        if (command == nullptr) return BAD_VALUE;
        Parcel data, reply;
        data.writeInterfaceToken(IAndroidShm::getInterfaceDescriptor());
        data.writeCString(command);
        return statusCall(RUN_COMMAND, data, &reply);
    }

    int32_t allocate(int32_t size) override {
        Parcel data, reply;
        data.writeInterfaceToken(IAndroidShm::getInterfaceDescriptor());
        data.writeInt32(size);
        return intCall(ALLOCATE, data, &reply, -1);
    }

    int32_t releaseBuffer(int32_t index) override {
        Parcel data, reply;
        data.writeInterfaceToken(IAndroidShm::getInterfaceDescriptor());
        data.writeInt32(index);
        return statusCall(RELEASE_BUFFER, data, &reply);
    }

    int32_t checkAllocated(int32_t index) override {
        Parcel data, reply;
        data.writeInterfaceToken(IAndroidShm::getInterfaceDescriptor());
        data.writeInt32(index);
        return intCall(CHECK_ALLOCATED, data, &reply, 0);
    }

    int32_t setRegistryIndex(int32_t index) override {
        Parcel data, reply;
        data.writeInterfaceToken(IAndroidShm::getInterfaceDescriptor());
        data.writeInt32(index);
        return statusCall(SET_REGISTRY_INDEX, data, &reply);
    }

    int32_t getRegistryIndex() override {
        Parcel data, reply;
        data.writeInterfaceToken(IAndroidShm::getInterfaceDescriptor());
        return intCall(GET_REGISTRY_INDEX, data, &reply, NO_REGISTRY_INDEX);
    }

private:
    status_t call(uint32_t code, const Parcel& data, Parcel* reply) {
        return logged(code, remote()->transact(code, data, reply));
    }

    // A call whose answer is a value: `failed` when the exchange or the read fails.
    int32_t intCall(uint32_t code, const Parcel& data, Parcel* reply, int32_t failed) {
        int32_t value = 0;
        if (call(code, data, reply) != NO_ERROR) return failed;
        if (logged(code, reply->readInt32(&value)) != NO_ERROR) return failed;
        return value;
    }

    // A call whose answer is a status: the failing status when the exchange fails.
    int32_t statusCall(uint32_t code, const Parcel& data, Parcel* reply) {
        const status_t status = call(code, data, reply);
        if (status != NO_ERROR) return status;
        int32_t result = 0;
        const status_t read = logged(code, reply->readInt32(&result));
        return read != NO_ERROR ? read : result;
    }
};

// The interface descriptor is the name the service is published under.
IMPLEMENT_META_INTERFACE(AndroidShm, SHM_SERVICE_NAME)

status_t BnAndroidShm::onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    int32_t value = 0;
    status_t read = NO_ERROR;
    switch (code) {
    case BUFFER_HEAP: {
        CHECK_INTERFACE(IAndroidShm, data, reply);
        if ((read = data.readInt32(&value)) != NO_ERROR) return read;
        const sp<IMemoryHeap> heap = bufferHeap(value);
        return reply->writeStrongBinder(heap != nullptr ? heap->asBinder() : nullptr);
    }
    case RUN_COMMAND: {
        CHECK_INTERFACE(IAndroidShm, data, reply);
        const char* command = data.readCString();
        if (command == nullptr) return BAD_VALUE;
        return reply->writeInt32(runCommand(command));
    }
    case ALLOCATE:
        CHECK_INTERFACE(IAndroidShm, data, reply);
        if ((read = data.readInt32(&value)) != NO_ERROR) return read;
        return reply->writeInt32(allocate(value));
    case RELEASE_BUFFER:
        CHECK_INTERFACE(IAndroidShm, data, reply);
        if ((read = data.readInt32(&value)) != NO_ERROR) return read;
        return reply->writeInt32(releaseBuffer(value));
    case CHECK_ALLOCATED:
        CHECK_INTERFACE(IAndroidShm, data, reply);
        if ((read = data.readInt32(&value)) != NO_ERROR) return read;
        return reply->writeInt32(checkAllocated(value));
    case SET_REGISTRY_INDEX:
        CHECK_INTERFACE(IAndroidShm, data, reply);
        if ((read = data.readInt32(&value)) != NO_ERROR) return read;
        return reply->writeInt32(setRegistryIndex(value));
    case GET_REGISTRY_INDEX:
        CHECK_INTERFACE(IAndroidShm, data, reply);
        return reply->writeInt32(getRegistryIndex());
    default:
        return BBinder::onTransact(code, data, reply, flags);
    }
}

}  // namespace android
