#pragma once

// Puts the calling thread at the lowest priority the system offers for
// batch work: SCHED_IDLE, or nice 19 where that is refused. It then runs only
// on CPU time nothing else wants, so Live and the relay never wait for it;
// the threads it starts inherit the priority. Returns what it got, for the log.
const char* lowerToBatchPriority();
