// Registration with a portmapper that already runs on this machine (rpcbind, as on NFS hosts), through
// libtirpc: rpcbind takes registrations only over its local socket, which pmap_set uses.
#include "Vxi11Service.h"

#include <netinet/in.h>
#include <rpc/pmap_clnt.h>

namespace tarvo::scpi::vxi11_system {

bool Register(std::uint16_t port) {
    if (port == 0) return false;
    pmap_unset(vxi11::CORE_PROGRAM, vxi11::CORE_VERSION);  // a registration left by a run that crashed
    return pmap_set(vxi11::CORE_PROGRAM, vxi11::CORE_VERSION, IPPROTO_TCP, port);
}

void Unregister() { pmap_unset(vxi11::CORE_PROGRAM, vxi11::CORE_VERSION); }

}  // namespace tarvo::scpi::vxi11_system
