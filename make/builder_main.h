#pragma once
#include <string>
#include <vector>

// The builder's whole run for a process's arguments (the program path first): checks the
// options in their fixed order, builds, and returns the exit status: 0 after a build or the
// usage text, 1 after any failure.
int runBuilder(std::vector<std::wstring> arguments);
