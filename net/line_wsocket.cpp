#include "net/line_wsocket.h"

#include <algorithm>
#include <cstring>
#include <exception>

TCustomLineWSocket::TCustomLineWSocket(QObject* AOwner) : TCustomSslWSocket(AOwner) {
}

TCustomLineWSocket::~TCustomLineWSocket() {
    FreeLineBuffer();
}

void TCustomLineWSocket::SetLineMode(bool Value) {
    if (Value == FLineMode) return;
    FLineMode = Value;
    if (LineBufferCount > 0 || LineLength > 0) PostMessage(WindowHandle, MsgLineRedeliver, 0, 0);
}

void TCustomLineWSocket::WndProc(TMessage& MsgRec) {
    if (MsgRec.Msg != MsgLineRedeliver) {
        TCustomSslWSocket::WndProc(MsgRec);
        return;
    }
    try {
        WMTriggerDataAvailable(MsgRec);
    } catch (const std::exception& E) {
        HandleBackGroundException(E);
    }
}

void TCustomLineWSocket::WMTriggerDataAvailable(TMessage&) {
    if (FLineMode && !FLineEnd.empty() && SocksState == socksData) {
        // Offer the buffered bytes as lines: every complete one is delivered, an unfinished
        // one stays for the bytes still to come. Nothing is read from the network here.
        if (LineBufferCount > 0 && LineLength == 0) DeliverLines(0);
        return;
    }
    // Raw redelivery: repeat while the handler takes something.
    while (LineBufferCount > 0) {
        const int Before = LineBufferCount;
        if (!TriggerDataAvailable(0)) {
            LineBufferCount = 0; // no handler: dropped, as unread network data is
            break;
        }
        if (LineBufferCount >= Before || FLineMode) break;
    }
}

int TCustomLineWSocket::GetRcvdCount() {
    if (FLineMode) return LineLength;
    return TCustomSslWSocket::GetRcvdCount();
}

void TCustomLineWSocket::TriggerLineLimitExceeded(int RcvdLength, bool& ClearData) {
    if (OnLineLimitExceeded) OnLineLimitExceeded(this, RcvdLength, ClearData);
}

void TCustomLineWSocket::GrowLineBuffer(int Size) {
    if (Size <= LineBufferSize) return;
    LineBuffer.resize(size_t(Size));
    LineBufferSize = Size;
}

void TCustomLineWSocket::FreeLineBuffer() {
    LineBuffer.clear();
    LineBuffer.shrink_to_fit();
    LineBufferSize = 0;
    LineBufferCount = 0;
    LineLength = 0;
    ++LineBufferGeneration;
}

bool TCustomLineWSocket::LineMarkerAt(int Pos) const {
    const int Len = int(FLineEnd.size());
    return Pos + Len <= LineBufferCount &&
           std::memcmp(&LineBuffer[size_t(Pos)], FLineEnd.data(), size_t(Len)) == 0;
}

bool TCustomLineWSocket::TriggerDataAvailable(quint16 Error) {
    if (!FLineMode || FLineEnd.empty() || SocksState != socksData || SslHandshaking()) {
        // Bytes held here after line mode went off are the application's already: the TLS
        // layer below only offers what it decrypted itself.
        if (!FLineMode && LineBufferCount > 0 && SocksState == socksData)
            return TCustomSocksWSocket::TriggerDataAvailable(Error);
        return TCustomSslWSocket::TriggerDataAvailable(Error);
    }

    int Count = TCustomSslWSocket::GetRcvdCount();
    if (Count < 0) return true;
    if (Count == 0) Count = 255;
    GrowLineBuffer(LineBufferCount + Count + 1);
    // No line is being delivered now, so this reads the network (or the SOCKS leftovers).
    int Len = Receive(&LineBuffer[size_t(LineBufferCount)], Count);
    if (Len <= 0) return true;
    LineBuffer[size_t(LineBufferCount + Len)] = 0;
    LineClearData = false;

    if (FLineEdit)
        EditLine(Len);
    else if (FLineEcho)
        Send(&LineBuffer[size_t(LineBufferCount)], Len);

    // Start a little early so that a marker split over two reads is found.
    const int SearchFrom = std::max(0, LineBufferCount - int(FLineEnd.size()));
    LineBufferCount += Len;
    DeliverLines(SearchFrom);
    return true;
}

void TCustomLineWSocket::DeliverLines(int SearchFrom) {
    const unsigned Generation = LineBufferGeneration;
    while (FLineMode && !FLineEnd.empty()) {
        const int MarkLen = int(FLineEnd.size());
        int I = SearchFrom;
        while (I + MarkLen <= LineBufferCount && !LineMarkerAt(I))
            ++I;
        if (I + MarkLen > LineBufferCount) {
            if (FLineLimit > 0 && LineBufferCount > FLineLimit) {
                bool ClearData = true;
                TriggerLineLimitExceeded(LineBufferCount, ClearData);
                if (Generation != LineBufferGeneration) return;
                LineClearData = ClearData;
                if (ClearData) {
                    LineLength = 0;
                    LineBufferCount = 0;
                }
            }
            return;
        }
        const int LineEndPos = I + MarkLen;
        LineLength = LineEndPos;
        LineReceived = true;
        while (FLineMode && LineLength > 0) {
            if (!TCustomSocksWSocket::TriggerDataAvailable(0))
                LineLength = 0; // no handler: the line is dropped
            if (Generation != LineBufferGeneration)
                return; // closed (and the buffer released) inside the handler
        }
        if (LineLength == 0) {
            std::memmove(LineBuffer.data(), &LineBuffer[size_t(LineEndPos)],
                         size_t(LineBufferCount - LineEndPos));
            LineBufferCount -= LineEndPos;
        } else {
            // Line mode went off mid-line: the unread rest is at the front (DoRecv put it
            // there); the bytes that followed the line go right behind it, as raw data.
            std::memmove(&LineBuffer[size_t(LineLength)], &LineBuffer[size_t(LineEndPos)],
                         size_t(LineBufferCount - LineEndPos));
            LineBufferCount = LineLength + (LineBufferCount - LineEndPos);
            LineLength = 0;
        }
        LineBuffer[size_t(LineBufferCount)] = 0;
        SearchFrom = 0;
    }
}

int TCustomLineWSocket::DoRecv(void* Buffer, int BufferSize, int Flags) {
    if (FLineMode && LineLength > 0) {
        const int N = std::min(BufferSize, LineLength);
        if (N <= 0) return 0;
        std::memcpy(Buffer, LineBuffer.data(), size_t(N));
        if (N == LineLength)
            LineLength = 0;
        else {
            std::memmove(LineBuffer.data(), &LineBuffer[size_t(N)], size_t(LineLength - N));
            LineLength -= N;
        }
        return N;
    }
    if (!FLineMode && LineBufferCount > 0) {
        const int N = std::min(BufferSize, LineBufferCount);
        if (N <= 0) return 0;
        std::memcpy(Buffer, LineBuffer.data(), size_t(N));
        std::memmove(LineBuffer.data(), &LineBuffer[size_t(N)], size_t(LineBufferCount - N + 1));
        LineBufferCount -= N;
        return N;
    }
    return TCustomSslWSocket::DoRecv(Buffer, BufferSize, Flags);
}

void TCustomLineWSocket::EditLine(int& Len) {
    const int Start = LineBufferCount;
    int ChangedFrom = Start;
    int J = Start;
    bool Copying = false;
    std::vector<char> Out;
    const char Backspace[3] = {8, ' ', 8};
    const char Space = ' ';

    auto startCopy = [&] {
        if (Copying) return;
        Copying = true;
        Out.reserve(size_t(((Start + Len + 256) / 256) * 256));
        Out.assign(LineBuffer.begin(), LineBuffer.begin() + J);
    };
    auto put = [&](char C) {
        if (Copying) {
            if (int(Out.size()) <= J) Out.resize(size_t(J) + 1);
            Out[size_t(J)] = C;
        }
        ++J;
    };

    for (int K = 0; K < Len; ++K) {
        const char C = LineBuffer[size_t(Start + K)];
        if (C == 8) {
            startCopy();
            if (FLineEcho && J > 0) Send(Backspace, 3);
            if (J > 0) {
                --J;
                Out.resize(size_t(J));
                ChangedFrom = std::min(ChangedFrom, J);
            }
        } else if (C == 9) {
            startCopy();
            do {
                if (FLineEcho) Send(&Space, 1);
                put(' ');
            } while (J % 8 != 0);
        } else {
            if (FLineEcho) Send(&C, 1);
            put(C);
        }
    }
    if (!Copying) return;
    GrowLineBuffer(J + 1);
    std::memcpy(LineBuffer.data(), Out.data(), size_t(J));
    LineBuffer[size_t(J)] = 0;
    LineBufferCount = ChangedFrom;
    Len = J - ChangedFrom;
}

void TCustomLineWSocket::TriggerSessionClosed(quint16 Error) {
    LineReceived = true;
    if (LineBufferSize > 0) {
        if (FLineMode && LineBufferCount > 0 && !LineClearData) {
            // The connection ended inside a line: hand it over without end-of-line.
            const unsigned Generation = LineBufferGeneration;
            LineLength = LineBufferCount;
            while (FLineMode && LineLength > 0) {
                if (!TCustomSocksWSocket::TriggerDataAvailable(0)) LineLength = 0;
                if (Generation != LineBufferGeneration) break;
            }
        }
        FreeLineBuffer();
    }
    TCustomSslWSocket::TriggerSessionClosed(Error);
}
