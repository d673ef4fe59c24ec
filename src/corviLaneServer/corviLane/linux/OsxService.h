#pragma once


class InstanceLock;

// The service entry. (Its name, like the file's, is kept from the Mac; see
// docs/kept-names.md.) Runs the server to its end and returns 0. With argv[1] "-debug" it runs a
// console that ends on "quit"; otherwise it runs as a service until SIGTERM,
// SIGQUIT, SIGINT, SIGSEGV or a tablet's shutdown request, and says on
// standard error where tablets reach it, how the Live script, MIDI and USB
// stand, as each becomes known or changes. `lock` (which may be null) is
// told the Wi-Fi ports and the log's path once the server runs.
int osxMain(int argc, char* argv[], InstanceLock* lock = nullptr);

// Called first in a program's main, before any thread exists (threads
// inherit it): holds SIGTERM, SIGQUIT and SIGINT back until the service has installed
// its handlers, so that a stop asked for while the server starts is an
// orderly stop, never the end of the process by the signal. Debug mode lets
// them through unhandled.
void holdTerminationSignals();
// For a program whose own threads (and the programs they start) must not
// inherit held signals: installs the service's handlers at once instead; a
// stop signal that arrives before the service runs stops it once started.
void catchTerminationSignals();

// Handler for SIGQUIT, SIGTERM, SIGINT and SIGSEGV in service mode.
void signal_handler(int sig);

