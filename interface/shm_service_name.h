// The name under which the shared-memory service is published, on the device and on
// the host alike: libjackshm registers the service under it (on the host, the stand-in
// in platform/jackshm), and the tools and the tests look it up by it.
#pragma once

constexpr char SHM_SERVICE_NAME[] = "com.velmora.android.kel.IAndroidShm";
