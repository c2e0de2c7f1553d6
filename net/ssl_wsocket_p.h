#pragma once

// Shared by the files of the TLS layer only.

#include <string>

// Every error OpenSSL queued for this thread, as short reasons; the queue is left empty.
std::string TakeSslErrors();
