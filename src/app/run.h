// One run of brackwell: from the package path to the written profile.
#pragma once

// Prints the banner and the usage line.
void printHelp();

// The whole run; returns the exit status (0 once the profile is written, 1
// otherwise). `utility` is the disk-image utility started as "<utility> info"
// and "<utility> info -plist"; nothing from the arguments ever reaches that
// command line.
int runBrackwell(int argc, const char* const argv[], const char* utility);
