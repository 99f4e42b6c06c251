// Typed interfaces over binder objects: the interface (IX), its stub (BnX, served
// here) and its proxy (BpX, calling another process), tied together by the
// DECLARE_META_INTERFACE / IMPLEMENT_META_INTERFACE pair.
#pragma once

#include <binder/Binder.h>
#include <binder/Parcel.h>

namespace android {

class IInterface : public virtual RefBase {
public:
    IInterface();
    sp<IBinder> asBinder();
    sp<const IBinder> asBinder() const;

protected:
    ~IInterface() override;
    virtual IBinder* onAsBinder() = 0;
};

template <typename INTERFACE>
inline sp<INTERFACE> interface_cast(const sp<IBinder>& obj) {
    return INTERFACE::asInterface(obj);
}

template <typename INTERFACE>
class BnInterface : public INTERFACE, public BBinder {
public:
    sp<IInterface> queryLocalInterface(const String16& _descriptor) override {
        if (_descriptor == INTERFACE::descriptor) return this;
        return nullptr;
    }
    const String16& getInterfaceDescriptor() const override { return INTERFACE::getInterfaceDescriptor(); }

protected:
    IBinder* onAsBinder() override { return this; }
};

template <typename INTERFACE>
class BpInterface : public INTERFACE, public BpRefBase {
public:
    explicit BpInterface(const sp<IBinder>& remote) : BpRefBase(remote) {}

protected:
    IBinder* onAsBinder() override { return remote(); }
};

#define DECLARE_META_INTERFACE(INTERFACE)                                                  \
    static const ::android::String16 descriptor;                                           \
    static ::android::sp<I##INTERFACE> asInterface(const ::android::sp<::android::IBinder>& obj); \
    virtual const ::android::String16& getInterfaceDescriptor() const;                     \
    I##INTERFACE();                                                                        \
    virtual ~I##INTERFACE();

#define IMPLEMENT_META_INTERFACE(INTERFACE, NAME)                                          \
    const ::android::String16 I##INTERFACE::descriptor(NAME);                              \
    const ::android::String16& I##INTERFACE::getInterfaceDescriptor() const {              \
        return I##INTERFACE::descriptor;                                                   \
    }                                                                                      \
    ::android::sp<I##INTERFACE> I##INTERFACE::asInterface(const ::android::sp<::android::IBinder>& obj) { \
        ::android::sp<I##INTERFACE> intr;                                                  \
        if (obj != nullptr) {                                                              \
            intr = static_cast<I##INTERFACE*>(obj->queryLocalInterface(I##INTERFACE::descriptor).get()); \
            if (intr == nullptr) intr = new Bp##INTERFACE(obj);                            \
        }                                                                                  \
        return intr;                                                                       \
    }                                                                                      \
    I##INTERFACE::I##INTERFACE() {}                                                        \
    I##INTERFACE::~I##INTERFACE() {}

#define CHECK_INTERFACE(interface, data, reply) \
    if (!(data).checkInterface(this)) {         \
        return PERMISSION_DENIED;               \
    }

}  // namespace android
