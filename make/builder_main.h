#pragma once
#include <string>

// The builder's whole run for a process command line (the program path first): checks the
// options in their fixed order, builds, and returns the exit status: 0 after a build or the
// usage text, 1 after any failure.
int runBuilder(const std::wstring& commandLine);
