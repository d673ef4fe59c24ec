#include "ConsoleTrace.h"

#include "Clock.h"
#include "Console.h"

namespace {

double steadySeconds() { return static_cast<double>(Clock::nowNanoseconds()) / 1e9; }

}  // namespace

void printConsoleTrace(const char* title, const osc::ReceivedMessage& message) {
    Console::print("%f %s\n", steadySeconds(), title);
    int index = 0;
    for (auto argument = message.ArgumentsBegin(); argument != message.ArgumentsEnd(); ++argument, ++index) {
        if (argument->IsInt32()) {
            Console::print("    Argument %d: INT %d\n", index, argument->AsInt32());
        } else if (argument->IsFloat()) {
            Console::print("    Argument %d: FLOAT %f\n", index, static_cast<double>(argument->AsFloat()));
        } else if (argument->IsDouble()) {
            Console::print("    Argument %d: FLOAT %f\n", index, argument->AsDouble());
        } else if (argument->IsString()) {
            Console::print("    Argument %d: STRING %s\n", index, argument->AsString());
        }
    }
}
