#include "OsxService.h"

int main(int argc, char* argv[]) { return osxMain(argc, argv); }
