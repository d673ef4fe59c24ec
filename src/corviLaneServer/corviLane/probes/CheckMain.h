#pragma once

// "corvilane-server --check [--json]": prints what stands between a tablet
// and this computer, with the fix for each problem; returns the exit status,
// 0 when tablets can reach this computer, 1 when something stands in their way.
int checkMain(bool json);
