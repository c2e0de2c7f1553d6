#pragma once
// TCustomWSocket: an asynchronous TCP/UDP socket driven by notifications posted to a hidden
// window that each socket owns. Never blocks its caller except in the documented waiting
// loops (Flush, WaitForClose), which keep the message queue moving.

#include "net/platform/hidden_window.h"
#include "net/platform/socket_api.h"
#include "net/wsocket_buffer.h"

#include <QObject>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/time.h>
#include <vector>

class TCustomWSocket;

class ESocketException : public std::runtime_error {
public:
    explicit ESocketException(const std::string& Msg) : std::runtime_error(Msg) {}
    std::string Message() const { return what(); }
};

enum TSocketState {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed
};

enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TWSocketOption { wsoNoReceiveLoop, wsoTcpNoDelay };

// A set of TWSocketOption (bit n for option n).
class TWSocketOptions {
public:
    constexpr TWSocketOptions() = default;
    constexpr TWSocketOptions(std::initializer_list<TWSocketOption> Options) {
        for (const TWSocketOption O : Options)
            Bits |= Bit(O);
    }
    constexpr bool Contains(TWSocketOption O) const { return (Bits & Bit(O)) != 0; }
    constexpr TWSocketOptions& Include(TWSocketOption O) {
        Bits |= Bit(O);
        return *this;
    }
    constexpr TWSocketOptions& Exclude(TWSocketOption O) {
        Bits &= static_cast<std::uint8_t>(~Bit(O));
        return *this;
    }
    constexpr TWSocketOptions Without(TWSocketOption O) const {
        TWSocketOptions R = *this;
        return R.Exclude(O);
    }
    constexpr bool Empty() const { return Bits == 0; }
    constexpr std::uint8_t Value() const { return Bits; }
    constexpr bool operator==(const TWSocketOptions&) const = default;

private:
    static constexpr std::uint8_t Bit(TWSocketOption O) {
        return static_cast<std::uint8_t>(1u << static_cast<unsigned>(O));
    }
    std::uint8_t Bits = 0;
};

// Message numbers of the hidden window.
constexpr UINT MsgSocketEvent = WM_USER + 1;    // 1025
constexpr UINT MsgHostByNameDone = WM_USER + 2; // 1026
constexpr UINT MsgHostByAddrDone = WM_USER + 3; // 1027
constexpr UINT MsgCloseDelayed = WM_USER + 4;   // 1028
constexpr UINT MsgRelease = WM_USER + 5;        // 1029
constexpr UINT MsgTestException = WM_USER + 6;  // 1030
constexpr UINT MsgLineRedeliver = WM_USER + 20; // 1044

using TDataAvailable = std::function<void(QObject* Sender, quint16 Error)>;
using TDataSent = std::function<void(QObject* Sender, quint16 Error)>;
using TSendData = std::function<void(QObject* Sender, int BytesSent)>;
using TSessionClosed = std::function<void(QObject* Sender, quint16 Error)>;
using TSessionAvailable = std::function<void(QObject* Sender, quint16 Error)>;
using TSessionConnected = std::function<void(QObject* Sender, quint16 Error)>;
using TDnsLookupDone = std::function<void(QObject* Sender, quint16 Error)>;
using TChangeState =
    std::function<void(QObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent =
    std::function<void(QObject* Sender, const std::exception& E, bool& CanClose)>;
using TNotifyEvent = std::function<void(QObject* Sender)>;

// The hidden window of a socket: class "XSocketWindowClass", the object in storage index 0.
HWND XSocketAllocateHWnd(QObject* Obj);
bool XSocketDeallocateHWnd(HWND Window);
void WSocketUnregisterClass();
extern const char* const XSocketWindowClassName; // "XSocketWindowClass"

// The framework's general hidden-window allocator (used by the FTP client).
HWND AllocateHWnd(TWndMethod Method);
void DeallocateHWnd(HWND Window);

class TCustomWSocket : public QObject {
public:
    explicit TCustomWSocket(QObject* AOwner = nullptr);
    ~TCustomWSocket() override;
    TCustomWSocket(const TCustomWSocket&) = delete;
    TCustomWSocket& operator=(const TCustomWSocket&) = delete;

    // Properties.
    const std::string& Addr() const { return FAddr; }
    void SetAddr(const std::string& Value);
    const std::string& Port() const { return FPort; }
    virtual void SetRemotePort(const std::string& Value);
    const std::string& Proto() const { return FProto; }
    virtual void SetProto(const std::string& Value);
    const std::string& LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& Value);
    const std::string& LocalPort() const { return FLocalPort; }
    void SetLocalPort(const std::string& Value);
    std::string PeerAddr() { return GetPeerAddr(); }
    std::string PeerPort() { return GetPeerPort(); }
    const std::string& DnsResult() const { return FDnsResult; }
    const std::vector<std::string>& DnsResultList() const { return FDnsResultList; }
    TSocketState State() const { return FState; }
    int ReadCount() const { return FReadCount; }
    int RcvdCount() { return GetRcvdCount(); }
    int LastError() const { return FLastError; }
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }
    bool MultiCast() const { return FMultiCast; }
    void SetMultiCast(bool Value) { FMultiCast = Value; }
    const std::string& MultiCastAddrStr() const { return FMultiCastAddrStr; }
    void SetMultiCastAddrStr(const std::string& Value) { FMultiCastAddrStr = Value; }
    int MultiCastIpTTL() const { return FMultiCastIpTTL; }
    void SetMultiCastIpTTL(int Value) { FMultiCastIpTTL = Value; }
    bool ReuseAddr() const { return FReuseAddr; }
    void SetReuseAddr(bool Value) { FReuseAddr = Value; }
    TWSocketOptions ComponentOptions() const { return FComponentOptions; }
    void SetComponentOptions(TWSocketOptions Value) { FComponentOptions = Value; }
    TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
    int LingerTimeout() const { return FLingerTimeout; }
    void SetLingerTimeout(int Value) { FLingerTimeout = Value; }
    TSocketSendFlags SendFlags() { return GetSendFlags(); }
    void SetSendFlags(TSocketSendFlags Value);
    TSocketSendFlags GetSendFlags();

    TSocket GetSocketHandle() const { return SocketHandle; }
    HWND GetWindowHandle() const { return WindowHandle; }
    Qt::HANDLE GetOwnerThreadId() const { return OwnerThreadId; }
    bool IsTerminated() const { return Terminated; }
    bool IsPaused() const { return Paused; }
    bool IsAllSent() const { return AllSent; }
    int GetSendBlockSize() const { return SendBlockSize; }
    // Number of blocks and of unsent bytes in the send queue.
    int SendQueueBlocks() const { return static_cast<int>(SendQueue.size()); }
    int BufferedByteCount() const;

    // Events.
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TSessionClosed OnSessionClosed;
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TChangeState OnChangeState;
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

    // Connection operations.
    virtual void Connect();
    virtual void Close();
    virtual void CloseDelayed();
    virtual void Release();
    virtual void Abort();
    virtual void Flush();
    virtual void WaitForClose();
    virtual void Listen();
    virtual TSocket Accept();
    virtual void Dup(TSocket NewSocket);
    virtual void Shutdown(int How);
    virtual void Pause();
    virtual void Resume();

    // Receiving.
    virtual int Receive(void* Buffer, int BufferSize);
    virtual std::string ReceiveStr();
    virtual int ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);
    int PeekData(void* Buffer, int BufferSize);

    // Sending.
    virtual int Send(const void* Data, int Len);
    virtual int SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len);
    virtual int SendStr(const std::string& Str);
    void SendText(const std::string& Str) { SendStr(Str); }
    void PutDataInSendBuffer(const void* Data, int Len);
    void PutStringInSendBuffer(const std::string& Str);
    void DeleteBufferedData();

    // Name resolution.
    virtual void DnsLookup(const std::string& HostName);
    virtual void ReverseDnsLookup(const std::string& HostAddr);
    virtual void CancelDnsLookup();

    // Addresses.
    virtual std::string GetPeerAddr();
    virtual std::string GetPeerPort();
    virtual int GetPeerName(sockaddr_in& Name, int NameLen);
    virtual std::string GetXPort();
    virtual std::string GetXAddr();
    virtual int GetSockName(sockaddr_in& Name, int& NameLen);

    // Time values.
    virtual bool TimerIsSet(const timeval& T);
    virtual void TimerClear(timeval& T);
    virtual bool TimerCmp(const timeval& A, const timeval& B, bool Equal);

    // Message pump.
    virtual void MessagePump();
    bool ProcessMessage();
    void ProcessMessages();
    void MessageLoop();
    void ThreadAttach();
    void ThreadDetach();

    // Dispatch of one message of the hidden window.
    virtual void WndProc(TMessage& MsgRec);

protected:
    virtual void AllocateSocketHWnd();
    virtual void DeallocateSocketHWnd();
    virtual void AssignDefaultValue();
    virtual void InternalClose(bool bShut, quint16 Error);
    virtual int GetRcvdCount();
    virtual bool BindSocket(); // false after a reported failure
    virtual int RealSend(const void* Data, int Len);
    virtual void RaiseExceptionFmt(const char* Fmt, ...);
    virtual void RaiseException(const std::string& Msg);
    virtual void HandleBackGroundException(const std::exception& E);
    virtual bool TriggerDataAvailable(quint16 Error);
    virtual void TriggerSessionAvailable(quint16 Error);
    virtual void TriggerSessionConnected(quint16 Error);
    virtual void TriggerSessionClosed(quint16 Error);
    virtual void TriggerDataSent(quint16 Error);
    virtual void TriggerChangeState(TSocketState OldState, TSocketState NewState);
    virtual void TriggerDNSLookupDone(quint16 Error);
    virtual void TriggerError();
    virtual int DoRecv(void* Buffer, int BufferSize, int Flags);
    virtual int DoRecvFrom(TSocket S, void* Buffer, int BufferSize, int Flags, sockaddr_in& From,
                           int& FromLen);

    void TriggerSendData(int BytesSent);
    void ChangeState(TSocketState NewState);
    void SocketError(const std::string& FunctionName);
    bool SetLingerOption(); // false after a reported failure
    void ASyncReceive(quint16 Error, TWSocketOptions Options);
    void TryToSend();

    // Message handlers.
    void WMASyncSelect(TMessage& Msg);
    void WMAsyncGetHostByName(TMessage& Msg);
    void WMAsyncGetHostByAddr(TMessage& Msg);
    void WMCloseDelayed(TMessage& Msg);
    void WMRelease(TMessage& Msg);

    // Runs one round of the waiting loops: the pump, then sleep until an event or a few ms.
    void WaitPump();
    // True from the start of the destructor on.
    bool IsDestroying() const { return Destroying; }

    // Property storage.
    std::string FAddr;
    std::string FPort;
    std::string FProto;
    std::string FLocalAddr;
    std::string FLocalPort;
    std::string FDnsResult;
    std::vector<std::string> FDnsResultList;
    TSocketState FState = wsClosed;
    int FReadCount = 0;
    int FLastError = 0;
    bool FMultiThreaded = false;
    bool FMultiCast = false;
    std::string FMultiCastAddrStr;
    int FMultiCastIpTTL = 1;
    bool FReuseAddr = false;
    TWSocketOptions FComponentOptions;
    TSocketLingerOnOff FLingerOnOff = wsLingerOn;
    int FLingerTimeout = 0;
    int FSendFlags = 0;

    // Internal state.
    TSocket SocketHandle = INVALID_SOCKET;
    HWND WindowHandle = 0;
    Qt::HANDLE OwnerThreadId = nullptr;
    bool AddrAssigned = false;
    bool AddrResolved = false;
    bool PortAssigned = false;
    bool PortResolved = false;
    quint16 PortNum = 0;
    bool ProtoAssigned = true;
    bool ProtoResolved = false;
    int ProtoNum = 6;
    bool LocalPortResolved = false;
    quint16 LocalPortNum = 0;
    int AddrFamily = AF_INET;
    int SocketType = 1;
    sockaddr_in RemoteSin{};
    TSocket AcceptedSocket = INVALID_SOCKET;
    long SelectEvents = 0;
    bool Paused = false;
    bool CloseReported = false;
    bool Terminated = false;

    // Send queue.
    std::deque<std::unique_ptr<TBuffer>> SendQueue;
    int SendBlockSize = 1460;
    bool AllSent = true;

    // Asynchronous look-up.
    int DnsLookupHandle = 0;
    THostEnt DnsLookupBuffer;
    bool DnsEarlyReply = false;
    TMessage DnsEarlyMessage;

private:
    // Closes S and drops the notifications still queued for it: the number may be reused at
    // once, and a late message must not look like news about the next connection.
    int CloseSocketOf(TSocket S);
    static std::string DottedOf(quint32 NetAddr);

    bool Destroying = false;
};
