#pragma once

// The application-wide message hook: one handler that sees every event the application delivers
// before its receiver does and may mark it handled. It is an event filter on the application
// object; components chain themselves in by remembering the handler they replace.
//
// Exceptions never cross Qt's event loop: one raised by the hook inside ProcessMessages is
// rethrown by that call, so it reaches whoever pumps the messages; one raised under the main
// loop goes to the handler set with SetOnException.

#include <QEvent>
#include <exception>
#include <functional>

using TMessageEvent = std::function<void(QEvent* Msg, bool& Handled)>;

namespace apphook {

TMessageEvent OnMessage();
void SetOnMessage(TMessageEvent Hook);

// Receives errors that the hook raised outside ProcessMessages. Without one they are logged.
void SetOnException(std::function<void(std::exception_ptr)> Handler);

// Writes the error to the log; what happens to it without a handler.
void LogException(std::exception_ptr Error);

// Processes pending events, waiting up to WaitMs for one when none is pending, and rethrows the
// first error the hook raised meanwhile.
void ProcessMessages(int WaitMs = 0);

} // namespace apphook
