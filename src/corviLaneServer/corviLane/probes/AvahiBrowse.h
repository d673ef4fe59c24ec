#pragma once

#include "CheckFacts.h"

#include <chrono>
#include <string>

// Looks, as a tablet would, for the services of `type` that Avahi knows on
// the local network, and keeps those of this computer: the name they are
// advertised under and their ports. Gives up after `timeout`.
CheckFacts::Advertising browseOwnServices(const std::string& type, std::chrono::milliseconds timeout);
