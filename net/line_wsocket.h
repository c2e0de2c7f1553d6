#pragma once

// Line mode: received bytes are collected and the application's OnDataAvailable is called once
// per complete line (terminated by LineEnd). Optional echo and backspace/tab editing serve a
// line-oriented server. With line mode off everything passes through unchanged.

#include "net/ssl_wsocket.h"

#include <functional>
#include <string>
#include <vector>

using TLineLimitEvent = std::function<void(QObject* Sender, int RcvdLength, bool& ClearData)>;

class TCustomLineWSocket : public TCustomSslWSocket {
public:
    explicit TCustomLineWSocket(QObject* AOwner = nullptr);
    ~TCustomLineWSocket() override;

    bool LineMode() const { return FLineMode; }
    virtual void SetLineMode(bool Value);
    const std::string& LineEnd() const { return FLineEnd; }
    void SetLineEnd(const std::string& Value) { FLineEnd = Value; }
    int LineLimit() const { return FLineLimit; }
    void SetLineLimit(int Value) { FLineLimit = Value; }
    bool LineEcho() const { return FLineEcho; }
    void SetLineEcho(bool Value) { FLineEcho = Value; }
    bool LineEdit() const { return FLineEdit; }
    void SetLineEdit(bool Value) { FLineEdit = Value; }

    TLineLimitEvent OnLineLimitExceeded;

    void WndProc(TMessage& MsgRec) override;

protected:
    int GetRcvdCount() override;
    bool TriggerDataAvailable(quint16 Error) override;
    void TriggerSessionClosed(quint16 Error) override;
    int DoRecv(void* Buffer, int BufferSize, int Flags) override;

    virtual void TriggerLineLimitExceeded(int RcvdLength, bool& ClearData);
    // Applies backspace and tab editing to the Len bytes just received at LineBufferCount.
    virtual void EditLine(int& Len);

    void WMTriggerDataAvailable(TMessage& Msg);
    // Delivers every complete line buffered from SearchFrom on, one OnDataAvailable each.
    void DeliverLines(int SearchFrom);
    void GrowLineBuffer(int Size);
    void FreeLineBuffer();
    bool LineMarkerAt(int Pos) const;

    // LineBuffer's size is LineBufferSize; the bytes held are always followed by a 0 byte.
    std::vector<char> LineBuffer;
    int LineBufferSize = 0;
    int LineBufferCount = 0;
    int LineLength = 0;
    bool LineReceived = false;
    bool LineClearData = false;
    int SyncTimeout = 0;
    quint32 SyncTimeStop = 0;

    bool FLineMode = false;
    std::string FLineEnd = "\r\n";
    int FLineLimit = 65536;
    bool FLineEcho = false;
    bool FLineEdit = false;

private:
    // Counts the releases of LineBuffer, so a delivery notices a close inside a handler.
    unsigned LineBufferGeneration = 0;
};
