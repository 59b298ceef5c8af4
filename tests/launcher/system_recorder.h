// Test programs of the launcher link system_recorder.cpp, whose system()
// replaces the C library's: it records each command instead of running it.
#ifndef LAUNCHER_TEST_SYSTEM_RECORDER_H
#define LAUNCHER_TEST_SYSTEM_RECORDER_H

#include <functional>
#include <string>
#include <vector>

namespace system_recorder {

// Every command handed to system(), oldest first.
std::vector<std::string>& Commands();

// Called with each command as it arrives (after it is recorded); its result
// is what system() returns. Empty: system() returns 0.
std::function<int(const char*)>& Handler();

// Forgets the commands and the handler.
void Reset();

}  // namespace system_recorder

#endif
