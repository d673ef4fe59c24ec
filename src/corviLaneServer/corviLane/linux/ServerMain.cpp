#include "OsxService.h"

int main(int argc, char* argv[]) {
    holdTerminationSignals();
    return osxMain(argc, argv);
}
