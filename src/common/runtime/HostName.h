#pragma once

#include <string>

// The host name as the system reports it (gethostname), unchanged.
std::string hostName();
