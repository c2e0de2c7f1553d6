#pragma once
// The socket error codes the layer reports (Winsock numbering), the errno values each stands
// for, and their English texts.

// The Winsock code of an errno value; one without its own code gives 10000 + the value.
int WinsockErrorFromErrno(int Errno);
// The text of a Winsock code, or nullptr for a code the table does not know.
const char* SocketErrorText(int Code);
