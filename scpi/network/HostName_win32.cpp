#include "HostName.h"

#include <winsock2.h>

namespace tarvo::scpi {

// Winsock's gethostname, which needs the sockets started (the server starts them first).
std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    std::string text(name);
    return text.substr(0, text.find('.'));
}

}  // namespace tarvo::scpi
