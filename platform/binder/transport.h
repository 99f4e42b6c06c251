// The host transport under the binder stand-in: one SOCK_SEQPACKET Unix socket per
// published service, in the user's private runtime directory (runtime_dir.h). A
// transaction is one request record and one reply record (wire_record.h). Binder
// objects in a reply become handles in that connection's table on the serving side
// (served_connection.h); the client's BpBinder for a handle (client_connection.h)
// releases it when it goes. The serving side's pool is in server.h.
#pragma once

#include "client_connection.h"
#include "runtime_dir.h"
#include "server.h"
#include "wire_record.h"
