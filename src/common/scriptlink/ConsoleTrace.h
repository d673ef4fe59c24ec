#pragma once

#include <oscpack/osc/OscReceivedElements.h>

// The console trace of a script's "/NSLOG_REPLACE" (over TCP or UDP): `title`
// with the steady clock, then one line per int32, float, double or string
// argument.
void printConsoleTrace(const char* title, const osc::ReceivedMessage& message);
