// IBinder's and IInterface's defaults sit beside the Parcel, which holds IBinder
// objects, so that the Parcel library carries their type information on its own.
#include <binder/IBinder.h>

#include <binder/IInterface.h>

namespace android {

IBinder::IBinder() = default;
IBinder::~IBinder() = default;

sp<IInterface> IBinder::queryLocalInterface(const String16& /*descriptor*/) { return nullptr; }
BBinder* IBinder::localBinder() { return nullptr; }
BpBinder* IBinder::remoteBinder() { return nullptr; }

}  // namespace android
