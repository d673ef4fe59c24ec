#pragma once

#include <string>

// Where corviLane keeps its files for the user running it, as the XDG base
// directories say.
namespace user_folders {

// The log, corvilane-server.conf and the server's other files:
// $XDG_STATE_HOME/corvilane, else ~/.local/state/corvilane (where the user
// services work too). Empty when neither variable is set.
std::string state();
// Files that live as long as the user's session, such as the lock that keeps
// a second copy from starting: $XDG_RUNTIME_DIR, else the state folder.
std::string runtime();
// Makes `folder` (and its parents) private to the user when it is missing;
// false when it cannot be had.
bool make(const std::string& folder);

}  // namespace user_folders
