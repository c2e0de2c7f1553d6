#pragma once
// The program without its window: `imglift --upload FILE [--name NAME]`, `imglift --test`, `imglift
// --delete NAME`, `--help` and `--version`. The upload and delete run the window's own workflow on
// an unshown window, so no display is needed.

namespace commandline {

// Exit codes.
constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;
constexpr int ExitInterrupted = 130;

// True when the arguments are for the command rather than the window: one of its options,
// or an option nobody knows (a usage error). Qt's own options and existing files are not.
bool Wanted(int argc, const char* const* argv);

// Runs the command line; returns the exit code.
int Run(int argc, const char* const* argv);

} // namespace commandline
