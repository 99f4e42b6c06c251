// The name under which the shared-memory service is published, on the device and
// on the host alike: the tools look it up, and the host's stand-in for the service
// library registers under it.
#pragma once

constexpr char SHM_SERVICE_NAME[] = "com.velmora.android.kel.IAndroidShm";
