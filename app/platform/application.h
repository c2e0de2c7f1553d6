#pragma once

// The application's terminate request: ends the main loop without closing the main window
// through its close query. Every wait loop reads Terminated() and gives up when it is set.
namespace application {

void Terminate();
bool Terminated();

// One round of a wait loop: handles the events that are waiting, or sleeps until the next one
// comes, at most MaxMs. A waiting loop built on it costs no CPU while nothing happens (the timed
// processEvents overload polls without sleeping).
void WaitForEvents(int MaxMs);

} // namespace application
