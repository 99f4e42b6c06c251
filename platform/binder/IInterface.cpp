// IInterface: the way from a typed interface back to its binder object.
#include <binder/IInterface.h>

namespace android {

IInterface::IInterface() = default;
IInterface::~IInterface() = default;

sp<IBinder> IInterface::asBinder() { return onAsBinder(); }

sp<const IBinder> IInterface::asBinder() const { return const_cast<IInterface*>(this)->onAsBinder(); }

}  // namespace android
