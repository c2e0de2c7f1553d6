#pragma once

// The application's terminate request: ends the main loop without closing the main window
// through its close query. Every wait loop reads Terminated() and gives up when it is set.
namespace application {

void Terminate();
bool Terminated();

} // namespace application
