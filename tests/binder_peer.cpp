// binder_peer: publishes the test service IX under the name given on the command
// line and serves it with two threads until it is killed.
#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <binder/ProcessState.h>

#include <cstdio>

#include "binder_x.h"

using namespace android;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: binder_peer <service name>\n");
        return 2;
    }
    sp<BnX> service = new BnX();
    const status_t added = defaultServiceManager()->addService(String16(argv[1]), service);
    if (added != NO_ERROR) {
        std::fprintf(stderr, "binder_peer: cannot publish %s: %d\n", argv[1], added);
        return 1;
    }
    ProcessState::self()->startThreadPool();
    IPCThreadState::self()->joinThreadPool(true);
    return 0;
}
