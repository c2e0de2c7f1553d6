#pragma once
// What the parts of the command line share.

#include <QString>
#include <cstdio>

class TForm1;

namespace commandline {

// Text and a line end on Stream, flushed.
void Print(FILE* Stream, const QString& Text);

// `--history`: the recorded uploads, newest first, on standard output; the exit code.
int ListHistory(int Limit, bool Json, const char* Program);

// After the upload: a desktop notification, and its buttons while it shows (at most ~30 s).
void NotifyOutcome(TForm1& Form, bool Transmitted, const QString& Reason);

} // namespace commandline
