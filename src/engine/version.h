// The program's version: CMake's project version, passed in by the build so
// that the window titles, --version and the package never disagree.
#pragma once

#ifndef ORVEL_VERSION
#error "ORVEL_VERSION comes from the build (CMakeLists.txt)"
#endif
