// Dotted addresses, blocking resolution and the socket's asynchronous look-up. Every name
// used here resolves locally (hosts file) or fails before any query leaves the machine.

#include "net/wsocket.h"
#include "net/wsocket_resolve.h"
#include "net/wsocket_winsock.h"
#include "support/test_support.h"

#include <QThread>
#include <gtest/gtest.h>

using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {
// A label over 63 bytes is refused by the resolver itself, without asking any server.
const std::string UnknownHost = std::string(70, 'q') + ".example";

std::string ThrownBy(const std::function<void()>& F) {
    try {
        F();
    } catch (const ESocketException& E) {
        return E.what();
    }
    return "(nothing thrown)";
}
} // namespace

TEST(Resolve, DottedIP) {
    EXPECT_TRUE(WSocketIsDottedIP("192.168.0.1"));
    EXPECT_TRUE(WSocketIsDottedIP("  192.168.0.1  "));
    EXPECT_TRUE(WSocketIsDottedIP("010.0.0.255")) << "leading zeros accepted";
    EXPECT_TRUE(WSocketIsDottedIP("255.255.255.255"));
    EXPECT_FALSE(WSocketIsDottedIP("1.2.3"));
    EXPECT_FALSE(WSocketIsDottedIP("1.2.3.4.5"));
    EXPECT_FALSE(WSocketIsDottedIP("1.2.3.256"));
    EXPECT_FALSE(WSocketIsDottedIP("256.1.1.1"));
    EXPECT_FALSE(WSocketIsDottedIP("1.256.1.1"));
    EXPECT_FALSE(WSocketIsDottedIP("1.1.300.1"));
    EXPECT_FALSE(WSocketIsDottedIP(".1.2.3.4"));
    EXPECT_FALSE(WSocketIsDottedIP("1.2.3.4."));
    EXPECT_FALSE(WSocketIsDottedIP("1..2.3"));
    EXPECT_FALSE(WSocketIsDottedIP("1.2.3.4x"));
    EXPECT_FALSE(WSocketIsDottedIP("1.2.3.4 x"));
    EXPECT_FALSE(WSocketIsDottedIP(""));
    EXPECT_FALSE(WSocketIsDottedIP("   "));
    EXPECT_FALSE(WSocketIsDottedIP("localhost"));
    EXPECT_FALSE(WSocketIsDottedIP("300.1.1.1"));
}

TEST(Resolve, Host) {
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(WSocketResolveHost(" 127.0.0.1 "), WSocket_htonl(0x7F000001));
    EXPECT_EQ(WSocketResolveHost("localhost"), WSocket_htonl(0x7F000001));
    EXPECT_EQ(ThrownBy([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    EXPECT_EQ(ThrownBy([] { WSocketResolveHost(std::string(257, 'a')); }),
              "WSocketResolveHost: '" + std::string(257, 'a') + "' Invalid Hostname.");
    EXPECT_EQ(ThrownBy([] { WSocketResolveHost(UnknownHost); }),
              "WSocketResolveHost: Cannot convert host address '" + UnknownHost +
                  "', Error #11001");
}

TEST(Resolve, PortAndProto) {
    EXPECT_EQ(WSocketResolvePort("21", "tcp"), 21);
    EXPECT_EQ(WSocketResolvePort("ftp", "tcp"), 21);
    EXPECT_EQ(WSocketResolvePort("21abc", "tcp"), 21);
    EXPECT_EQ(WSocketResolvePort(" ftp ", " tcp "), 21) << "names are trimmed";
    EXPECT_EQ(ThrownBy([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ThrownBy([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ThrownBy([] { WSocketResolvePort("21", ""); }), "WSocketResolvePort: Invalid Proto.");
    EXPECT_EQ(ThrownBy([] { WSocketResolvePort("nosuchservice", "tcp"); }),
              "WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004");

    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto("udp"), 17);
    EXPECT_EQ(WSocketResolveProto(" 17"), 17);
    EXPECT_EQ(ThrownBy([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(ThrownBy([] { WSocketResolveProto("bogus"); }),
              "WSocketResolveProto: Cannot convert protocol 'bogus', Error #11004");
}

TEST(Resolve, HostRecordsAndLocalHost) {
    const auto H = WSocketGetHostByName("localhost");
    ASSERT_TRUE(H.has_value());
    ASSERT_FALSE(H->h_addr_list.empty());
    EXPECT_EQ(H->h_addr_list.front(), WSocket_htonl(0x7F000001));
    EXPECT_FALSE(WSocketGetHostByName(UnknownHost).has_value());
    EXPECT_EQ(ThrownBy([] { WSocketGetHostByName(""); }),
              "WSocketGetHostByName: Invalid Hostname.");
    EXPECT_EQ(ThrownBy([] { WSocketGetHostByAddr(""); }), "WSocketGetHostByAddr: Invalid address.");
    EXPECT_FALSE(WSocketResolveIp("127.0.0.1").empty());

    const std::string Name = LocalHostName();
    EXPECT_FALSE(Name.empty());
    const auto& List = LocalIPList();
    ASSERT_FALSE(List.empty());
    for (const auto& A : List)
        EXPECT_TRUE(WSocketIsDottedIP(A)) << A;
    EXPECT_EQ(&LocalIPList(), &List) << "one list, refilled";
}

TEST(DnsLookup, DottedAddressReportsBeforeReturning) {
    TWSocket S;
    std::vector<int> Done;
    S.OnDnsLookupDone = [&](QObject*, quint16 E) { Done.push_back(E); };
    S.DnsLookup("127.0.0.1");
    ASSERT_EQ(Done.size(), 1u);
    EXPECT_EQ(Done[0], 0);
    EXPECT_EQ(S.DnsResult(), "127.0.0.1");
    ASSERT_EQ(S.DnsResultList().size(), 1u);
    EXPECT_EQ(S.DnsResultList()[0], "127.0.0.1");
}

TEST(DnsLookup, NameReportsLaterFromTheQueue) {
    TWSocket S;
    std::vector<int> Done;
    S.OnDnsLookupDone = [&](QObject*, quint16 E) { Done.push_back(E); };
    S.DnsLookup("localhost");
    EXPECT_TRUE(Done.empty()) << "never inside the call";
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty(); }));
    PumpFor(50);
    ASSERT_EQ(Done.size(), 1u);
    EXPECT_EQ(Done[0], 0);
    EXPECT_EQ(S.DnsResult(), "127.0.0.1");
    EXPECT_EQ(S.DnsResultList().front(), "127.0.0.1");
}

TEST(DnsLookup, SecondLookupCancelsTheFirst) {
    TWSocket S;
    std::vector<std::pair<int, std::string>> Done;
    S.OnDnsLookupDone = [&](QObject*, quint16 E) { Done.emplace_back(E, S.DnsResult()); };
    S.DnsLookup(UnknownHost);
    S.DnsLookup("localhost");
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty(); }));
    PumpFor(200);
    ASSERT_EQ(Done.size(), 1u) << "only the second reports";
    EXPECT_EQ(Done[0].first, 0);
    EXPECT_EQ(Done[0].second, "127.0.0.1");
}

TEST(DnsLookup, CancelUnknownAndEmptyName) {
    TWSocket S;
    std::vector<int> Done;
    S.OnDnsLookupDone = [&](QObject*, quint16 E) { Done.push_back(E); };
    S.CancelDnsLookup();
    EXPECT_TRUE(Done.empty()) << "no lookup running: nothing";

    S.DnsLookup("localhost");
    S.CancelDnsLookup();
    ASSERT_EQ(Done.size(), 1u);
    EXPECT_EQ(Done[0], 10004);
    PumpFor(200);
    EXPECT_EQ(Done.size(), 1u) << "the cancelled lookup never reports";

    Done.clear();
    S.DnsLookup(UnknownHost);
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty(); }));
    EXPECT_EQ(Done[0], 11001);
    EXPECT_TRUE(S.DnsResult().empty());

    Done.clear();
    EXPECT_EQ(ThrownBy([&] { S.DnsLookup(""); }), "DNS lookup: invalid host name.");
    EXPECT_TRUE(Done.empty());
    int Errors = 0;
    S.OnError = [&](QObject*) { ++Errors; };
    S.DnsLookup("");
    EXPECT_EQ(Errors, 1);
    ASSERT_EQ(Done.size(), 1u);
    EXPECT_EQ(Done[0], 10022);
}

TEST(DnsLookup, Reverse) {
    TWSocket S;
    std::vector<int> Done;
    S.OnDnsLookupDone = [&](QObject*, quint16 E) { Done.push_back(E); };
    S.ReverseDnsLookup("127.0.0.1");
    EXPECT_TRUE(Done.empty());
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty(); }));
    EXPECT_EQ(Done[0], 0);
    EXPECT_FALSE(S.DnsResult().empty());
    EXPECT_EQ(S.DnsResultList().size(), 1u);
    EXPECT_EQ(ThrownBy([&] { S.ReverseDnsLookup(""); }), "ReverseDnsLookup: Invalid host name.");
}

TEST(DnsLookup, ConnectToUnresolvableHost) {
    TWSocket S;
    S.SetAddr(UnknownHost);
    S.SetRemotePort("21");
    EXPECT_EQ(ThrownBy([&] { S.Connect(); }),
              "connect: WSocketResolveHost: Cannot convert host address '" + UnknownHost +
                  "', Error #11001");
    EXPECT_EQ(S.State(), wsClosed);
}
