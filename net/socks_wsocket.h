#pragma once

// SOCKS 4, 4A and 5 client layered on the asynchronous socket: Connect goes to the proxy, the
// handshake runs on the received-data path, and the application sees OnSessionConnected only
// once the proxy has connected the destination.

#include "net/wsocket_core.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

enum TSocksState { socksData, socksNegociateMethods, socksAuthenticate, socksConnect };
enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { socksAuthStart, socksAuthSuccess, socksAuthFailure, socksAuthNotRequired };

using TSocksErrorEvent = std::function<void(QObject* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(QObject* Sender, TSocksAuthState AuthState)>;

class TCustomSocksWSocket : public TCustomWSocket {
public:
    explicit TCustomSocksWSocket(QObject* AOwner = nullptr);
    ~TCustomSocksWSocket() override;

    void Connect() override;
    void Listen() override;

    const std::string& SocksServer() const { return FSocksServer; }
    virtual void SetSocksServer(const std::string& Value);
    const std::string& SocksPort() const { return FSocksPort; }
    virtual void SetSocksPort(const std::string& Value);
    const std::string& SocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string& Value);
    const std::string& SocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string& Value) { FSocksUsercode = Value; }
    const std::string& SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string& Value) { FSocksPassword = Value; }
    TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication Value) { FSocksAuthentication = Value; }

    TSessionConnected OnSocksConnected;
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

    // Request buffers are this big; longer requests are refused before anything is sent.
    static constexpr int SocksBufSize = 128;

protected:
    void AssignDefaultValue() override;
    int GetRcvdCount() override;
    bool TriggerDataAvailable(quint16 Error) override;
    void TriggerSessionConnected(quint16 Error) override;
    void TriggerSessionClosed(quint16 Error) override;
    int DoRecv(void* Buffer, int BufferSize, int Flags) override;

    virtual void TriggerSocksConnected(quint16 Error);
    virtual void TriggerSocksError(int Error, const std::string& Msg);
    virtual void TriggerSocksAuthState(TSocksAuthState AuthState);

    void SocksDoConnect();
    void SocksDoAuthenticate();
    void DataAvailableError(int ErrCode, const std::string& Msg);
    // Empty when the request for the current settings fits the request buffer.
    std::string SocksRequestTooLong() const;

    TSocksState SocksState = socksData;
    bool SocksServerAssigned = false;
    uint8_t SocksAuthMethod = 0;
    std::array<uint8_t, SocksBufSize> SocksRcvBuf{};
    int SocksRcvCount = 0;
    int SocksPendingCount = 0;
    int SocksPendingPtr = 0;
    // Rest of a SOCKS 5 reply too long for SocksRcvBuf, dropped as it arrives.
    int SocksSkipCount = 0;

private:
    bool SocksLevelIs4() const { return !FSocksLevel.empty() && FSocksLevel[0] == '4'; }
    void SocksReplyError(int ReplyCode);
    // The handshake is over: report the connection and offer any data already received.
    bool SocksDone(int ReplyLen);

    std::string FSocksServer;
    std::string FSocksPort;
    std::string FSocksLevel = "5";
    std::string FSocksUsercode;
    std::string FSocksPassword;
    TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
};
