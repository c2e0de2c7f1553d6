// Bulk transfer over loopback: two TWSocket objects driven by their events against a plain
// blocking send/recv pair. Usage: socket_throughput [MiB] [block KiB]

#include "net/wsocket.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct TResult {
    double Seconds = 0;
    long long Bytes = 0;
    bool Ok = false;
};

double MiBPerSecond(const TResult& R) {
    return R.Seconds > 0 ? double(R.Bytes) / (1024.0 * 1024.0) / R.Seconds : 0;
}

// The sender feeds one block per OnDataSent, the receiver reads on OnDataAvailable.
TResult EventDriven(long long Total, int BlockSize) {
    TResult R;
    const std::vector<char> Block(std::size_t(BlockSize), 'b');
    TWSocket Listener;
    TWSocket Receiver;
    TWSocket Sender;
    long long Received = 0, Queued = 0;
    bool Done = false, Failed = false;
    std::vector<char> Buf(256 * 1024);

    Receiver.OnDataAvailable = [&](QObject*, quint16) {
        int N;
        while ((N = Receiver.Receive(Buf.data(), int(Buf.size()))) > 0)
            Received += N;
        if (Received >= Total) Done = true;
    };
    Receiver.OnSessionClosed = [&](QObject*, quint16) {
        if (Received < Total) Failed = true;
    };
    Listener.OnSessionAvailable = [&](QObject*, quint16) {
        Receiver.Dup(Listener.Accept());
        Listener.Close();
    };
    Listener.SetAddr("127.0.0.1");
    Listener.SetRemotePort("0");
    Listener.Listen();

    QElapsedTimer Clock;
    Sender.OnDataSent = [&](QObject*, quint16 Error) {
        if (Error || Queued >= Total) return;
        if (Queued == 0) Clock.start();
        const int N = int(std::min<long long>(BlockSize, Total - Queued));
        Queued += Sender.Send(Block.data(), N);
    };
    Sender.OnSessionClosed = [&](QObject*, quint16) {
        if (Received < Total) Failed = true;
    };
    Sender.SetLingerOnOff(wsLingerOff);
    Sender.SetAddr("127.0.0.1");
    Sender.SetRemotePort(Listener.GetXPort());
    Sender.Connect();
    while (!Done && !Failed)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    R.Seconds = double(Clock.nsecsElapsed()) / 1e9;
    R.Bytes = Received;
    R.Ok = Done;
    Sender.Close();
    Receiver.Close();
    return R;
}

// A blocking sender thread and a blocking receiver, the same block size.
TResult Blocking(long long Total, int BlockSize) {
    TResult R;
    const int L = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(L, reinterpret_cast<sockaddr*>(&A), sizeof(A));
    ::listen(L, 1);
    socklen_t Len = sizeof(A);
    ::getsockname(L, reinterpret_cast<sockaddr*>(&A), &Len);
    const int C = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(C, reinterpret_cast<sockaddr*>(&A), sizeof(A)) != 0) return R;
    const int S = ::accept(L, nullptr, nullptr);
    ::close(L);

    QElapsedTimer Clock;
    Clock.start();
    std::thread Writer([&] {
        const std::vector<char> Block(std::size_t(BlockSize), 'b');
        long long Sent = 0;
        while (Sent < Total) {
            const ssize_t N =
                ::send(C, Block.data(), std::size_t(std::min<long long>(BlockSize, Total - Sent)),
                       MSG_NOSIGNAL);
            if (N <= 0) break;
            Sent += N;
        }
    });
    std::vector<char> Buf(256 * 1024);
    long long Received = 0;
    while (Received < Total) {
        const ssize_t N = ::recv(S, Buf.data(), Buf.size(), 0);
        if (N <= 0) break;
        Received += N;
    }
    R.Seconds = double(Clock.nsecsElapsed()) / 1e9;
    Writer.join();
    ::close(C);
    ::close(S);
    R.Bytes = Received;
    R.Ok = Received == Total;
    return R;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication App(argc, argv);
    const long long MiB = argc > 1 ? std::atoll(argv[1]) : 256;
    const int BlockKiB = argc > 2 ? std::atoi(argv[2]) : 64;
    const long long Total = MiB * 1024 * 1024;
    const int BlockSize = BlockKiB * 1024;

    const TResult E = EventDriven(Total, BlockSize);
    const TResult B = Blocking(Total, BlockSize);
    // The send queue hands the network one 1460-byte block per call; the same call size
    // without the queue shows what the block size itself costs.
    const TResult Small = Blocking(Total, 1460);
    if (!E.Ok || !B.Ok || !Small.Ok) {
        std::fprintf(stderr, "transfer incomplete: events %lld, blocking %lld of %lld bytes\n",
                     E.Bytes, B.Bytes, Total);
        return 1;
    }
    std::printf("transfer: %lld MiB over loopback, %d KiB per Send\n", MiB, BlockKiB);
    std::printf("TWSocket (events):   %8.1f MiB/s  (%.3f s)\n", MiBPerSecond(E), E.Seconds);
    std::printf("blocking send/recv:  %8.1f MiB/s  (%.3f s)\n", MiBPerSecond(B), B.Seconds);
    std::printf("blocking, 1460-byte sends: %8.1f MiB/s  (%.3f s)\n", MiBPerSecond(Small),
                Small.Seconds);
    std::printf("ratio events/blocking: %.2f\n", MiBPerSecond(E) / MiBPerSecond(B));
    std::printf("ratio events/blocking with 1460-byte sends: %.2f\n",
                MiBPerSecond(E) / MiBPerSecond(Small));
    return 0;
}
