#include "HostName.h"

#include <unistd.h>

std::string hostName() {
    char name[1024] = {};
    gethostname(name, sizeof name - 1);
    return name;
}
