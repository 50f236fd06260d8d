#include "HostName.h"

#include <unistd.h>

namespace tarvo::scpi {

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    std::string text(name);
    return text.substr(0, text.find('.'));
}

}  // namespace tarvo::scpi
