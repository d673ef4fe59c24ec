#pragma once

#include <shared_mutex>

// Runs the server to its end and returns 0. With argv[1] "-debug" it runs a
// console that ends on "quit"; otherwise it runs as a service until SIGTERM,
// SIGQUIT, SIGSEGV or a tablet's shutdown request.
int osxMain(int argc, char* argv[]);

// Handler for SIGQUIT, SIGTERM and SIGSEGV in service mode.
void signal_handler(int sig);

// Held exclusively while osxMain starts and stops the long-lived objects, so
// that a reader of the thread registry outside the server (the status menu)
// holding it shared never sees an entry half set or an object being released.
std::shared_mutex& serverRegistryLock();
