#pragma once
// Scratch directories for fuzz targets and long-running harnesses, which have no test fixture
// to clean up after them.
#include <string>

namespace tw::test {

// Makes a new private directory "/tmp/<prefix>-XXXXXX" that is removed with everything in it
// when the process exits normally; "" when it cannot be made.
std::string ScratchDirRemovedAtExit(const std::string& prefix);

}  // namespace tw::test
