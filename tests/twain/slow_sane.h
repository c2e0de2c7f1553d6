#pragma once

// A shim over SANE's sane_get_devices, linked into a test program so that the scanner manager's
// device searches take as long as a network backend's.
namespace slowsane {

// Every later search first sleeps this long; 0 ends the delay.
void SetDelay(int Milliseconds);
// Whether a search is running now, on any thread.
bool Searching();
// How many searches have started so far.
int Searches();

} // namespace slowsane
