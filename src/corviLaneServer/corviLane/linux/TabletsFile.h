#pragma once

#include "RelayTypes.h"

#include <string>
#include <vector>

// The tablets with a confirmed session, as the running server last saw them,
// in "corvilane.tablets" beside its lock in the user's runtime folder (which
// only the user can read), so that "corvilane-server --check" can list them.
// The names come from the tablets: they are cut to size and rid of control
// characters before they are written, and read back as text from outside.
class TabletsFile {
public:
    static std::string path();
    // Replaces the file at once (a new file renamed into place); none at all
    // once the server stops.
    static void write(const std::vector<TabletStatus>& tablets);
    static void remove();
    // What the file holds; nothing when there is none, or it is not one this
    // program would write.
    static std::vector<TabletStatus> read();

    // One tablet as a line of the file, and back.
    static std::string line(const TabletStatus& tablet);
    static bool parse(const std::string& line, TabletStatus& tablet);
};
