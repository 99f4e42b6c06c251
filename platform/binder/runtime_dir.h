// Where the host transport keeps its service sockets: one private runtime directory
// per user, and one socket in it per published service name.
#pragma once

#include <sys/un.h>

#include <string>

#include <utils/String16.h>

namespace android {
namespace binder_transport {

// The socket path of a service name, under the private runtime directory (created
// with `create`). False, with a logged reason, when the name is not 1 to 127
// characters of a file name, the directory is not this user's alone, or the path
// does not fit a socket address.
bool service_path(const String16& name, bool create, std::string* path);

// The socket address of `path`; false when the path is too long for one.
bool fill_address(const std::string& path, sockaddr_un* address);

}  // namespace binder_transport
}  // namespace android
