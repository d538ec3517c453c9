// The capture port on network sources, over real loopback sockets: the station connecting to an
// exchange that drops and comes back, an exchange connecting to a listening station, the
// allow-list, a login prompt, and a peer that stops answering without closing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Text.h"
#include "platform/NetSource.h"
#include "serial/SerialPort.h"
#include "tests/common/CaseName.h"
#include "tests/common/Process.h"
#include "tests/common/TcpPeer.h"
#include "tests/serial/Pump.h"

namespace {

// Texts of the notices, Windows-1251.
const char kConnected[] =
    "\xf1\xee\xe5\xe4\xe8\xed\xe5\xed\xe8\xe5 \xf3\xf1\xf2\xe0\xed\xee\xe2\xeb\xe5\xed\xee";
const char kLost[] = "\xf1\xee\xe5\xe4\xe8\xed\xe5\xed\xe8\xe5 \xef\xee\xf2\xe5\xf0\xff\xed\xee";
const char kNoConnection[] = "\xed\xe5\xf2 \xf1\xee\xe5\xe4\xe8\xed\xe5\xed\xe8\xff";
const char kRefusedByPeer[] =
    "\xf1\xee\xe5\xe4\xe8\xed\xe5\xed\xe8\xe5 "
    "\xee\xf2\xe2\xe5\xf0\xe3\xed\xf3\xf2\xee";  // соединение отвергнуто
const char kNoAnswer[] = "\xed\xe5\xf2 \xee\xf2\xe2\xe5\xf2\xe0";  // нет ответа
const char kRetry1[] = "\xef\xee\xe2\xf2\xee\xf0 \xf7\xe5\xf0\xe5\xe7 1 \xf1";  // повтор через 1 с
const char kRetry2[] = "\xef\xee\xe2\xf2\xee\xf0 \xf7\xe5\xf0\xe5\xe7 2 \xf1";
const char kJoined[] = "\xef\xee\xe4\xea\xeb\xfe\xf7\xe8\xeb\xe0\xf1\xfc \xea";  // подключилась к
const char kRejoined[] =
    "\xef\xee\xe4\xea\xeb\xfe\xf7\xe8\xeb\xe0\xf1\xfc \xe7\xe0\xed\xee\xe2\xee";
const char kLeft[] = "\xee\xf2\xea\xeb\xfe\xf7\xe8\xeb\xe0\xf1\xfc";  // отключилась
const char kNotAllowed[] =
    "\xe0\xe4\xf0\xe5\xf1\xe0 \xed\xe5\xf2 \xe2 \xf1\xef\xe8\xf1\xea\xe5 Allow";
const char kDropped[] = "\xee\xf2\xea\xeb\xfe\xf7\xe5\xed\xe0";  // отключена
const char kSilentLongest[] =
    "\xec\xee\xeb\xf7\xe0\xeb\xe0 \xe4\xee\xeb\xfc\xf8\xe5";     // молчала дольше
const char kNoData[] = "\xed\xe5\xf2 \xe4\xe0\xed\xed\xfb\xf5";  // нет данных
const char kClosed[] =
    "\xf1\xee\xe5\xe4\xe8\xed\xe5\xed\xe8\xe5 \xe7\xe0\xea\xf0\xfb\xf2\xee";  // соединение закрыто
const char kLoginSent[] = "\xee\xf2\xef\xf0\xe0\xe2\xeb\xe5\xed\xee \xe8\xec\xff";
const char kPasswordSent[] = "\xee\xf2\xef\xf0\xe0\xe2\xeb\xe5\xed \xef\xe0\xf0\xee\xeb\xfc";
const char kBadEntry[] = "\xed\xe5\xe2\xe5\xf0\xed\xe0\xff \xe7\xe0\xef\xe8\xf1\xfc";

// The capture port on a network name, with what reached its handlers in order.
struct TNetPort {
    explicit TNetPort(const std::string& name) {
        Port.UseCaptureDefaults();
        Port.SetPort(name);
        Port.OnRxChar = [this](TCustomSerialPort& p, int count) {
            std::string text;
            p.ReadText(text, count);
            Got += text;
        };
        Port.OnBreak = [this](TCustomSerialPort&) { Cuts.push_back(Got.size()); };
        Port.OnNotice = [this](TCustomSerialPort&, const std::string& text) {
            Notices.push_back(text);
        };
        Port.OnCTSChange = [this](TCustomSerialPort&, bool on) { LinesOn = LinesOn || on; };
        Port.OnDSRChange = Port.OnCTSChange;
        Port.OnRLSDChange = Port.OnCTSChange;
    }
    // Index of the first notice holding all of the parts, from index from on; -1 when none.
    int Find(std::initializer_list<std::string> parts, size_t from = 0) const {
        for (size_t i = from; i < Notices.size(); ++i) {
            bool all = true;
            for (const std::string& p : parts) all = all && Notices[i].find(p) != std::string::npos;
            if (all) return static_cast<int>(i);
        }
        return -1;
    }
    bool WaitNotice(std::initializer_list<std::string> parts, int ms = 5000) {
        return PumpUntil([&] { return Find(parts) >= 0; }, ms);
    }
    bool WaitGot(const std::string& tail, int ms = 5000) {
        return PumpUntil(
            [&] {
                return Got.size() >= tail.size() &&
                       Got.compare(Got.size() - tail.size(), tail.size(), tail) == 0;
            },
            ms);
    }
    std::string AllNotices() const {
        std::string all;
        for (const auto& n : Notices) all += n + "\n";
        return all;
    }

    TSerialPort Port;
    std::string Got;
    std::vector<size_t> Cuts;
    std::vector<std::string> Notices;
    bool LinesOn = false;
};

std::string TcpName(uint16_t port) {
    return "tcp://127.0.0.1:" + std::to_string(port);
}

std::string ListenName(uint16_t port) {
    return "listen://127.0.0.1:" + std::to_string(port);
}

// A capture port listening on a free loopback port for the allowed addresses.
struct TListening {
    explicit TListening(const std::string& allow) : Net(ListenName(Port)) {
        Net.Port.SetAllow(allow);
        Net.Port.Open();
    }
    TPeerSocket From(const std::string& address) const { return ConnectFrom(address, Port); }
    const uint16_t Port = FreePort();
    TNetPort Net;
};

// ---- names, address lists, prompts ----

struct NameCase {
    const char* name;
    const char* text;
    bool valid;
    bool listen = false;
    const char* host = "";
    int port = 0;
};

class NetworkPortName : public ::testing::TestWithParam<NameCase> {};

TEST_P(NetworkPortName, IsKeptByThePortAndParsedIntoItsEndpoint) {
    const NameCase& c = GetParam();
    const auto e = platform::ParseNetworkPortName(Trim(c.text));
    ASSERT_EQ(e.has_value(), c.valid);
    if (c.valid) {
        EXPECT_EQ(e->Listen, c.listen);
        EXPECT_EQ(e->Host, c.host);
        EXPECT_EQ(e->Port, c.port);
    }
    // The port keeps a network name as written (blanks around it aside), valid or not: only
    // opening tells a malformed one.
    TSerialPort port;
    port.SetPort(c.text);
    EXPECT_EQ(port.Port(), Trim(c.text));
    EXPECT_EQ(TCustomSerialPort::DevicePath(port.Port()), port.Port());
}

INSTANTIATE_TEST_SUITE_P(
    Names, NetworkPortName,
    ::testing::Values(
        NameCase{"TcpAddress", "tcp://127.0.0.1:9100", true, false, "127.0.0.1", 9100},
        NameCase{"TcpHostWithBlanks", "  tcp://pbx-1.office.lan:2300 ", true, false,
                 "pbx-1.office.lan", 2300},
        NameCase{"SchemeInCapitals", "TCP://[::1]:9100", true, false, "::1", 9100},
        NameCase{"ListenEveryAddress", "listen://:9100", true, true, "", 9100},
        NameCase{"ListenOneAddress", "listen://192.168.1.2:5000", true, true, "192.168.1.2", 5000},
        NameCase{"ListenIPv6", "listen://[::]:65535", true, true, "::", 65535},
        NameCase{"TcpWithoutHost", "tcp://:9100", false},
        NameCase{"WithoutPort", "tcp://pbx", false}, NameCase{"PortZero", "tcp://pbx:0", false},
        NameCase{"PortTooLarge", "tcp://pbx:65536", false},
        NameCase{"IPv6WithoutBrackets", "tcp://::1:9100", false},
        NameCase{"PathAfterPort", "tcp://pbx:9100/smdr", false},
        NameCase{"UnclosedBracket", "listen://[::1:9100", false},
        NameCase{"BlankInHost", "tcp://p bx:9100", false}),
    CaseName());

TEST(NetworkPortName, AMalformedNameFailsToOpenWithTheInvalidArgumentError) {
    TSerialPort port;
    port.SetPort("tcp://pbx");
    try {
        port.Open();
        FAIL() << "opened";
    } catch (const ESerialPort& e) {
        EXPECT_EQ(e.ErrorCode, 1);
        EXPECT_EQ(e.SystemError, EINVAL);
    }
    EXPECT_FALSE(port.Connected());
}

struct AllowCase {
    const char* name;
    const char* list;
    const char* address;
    bool allowed;
};

class AddressList : public ::testing::TestWithParam<AllowCase> {};

TEST_P(AddressList, AllowsTheAddressesOfItsEntries) {
    std::vector<std::string> bad;
    const auto list = platform::TAddressList::Parse(GetParam().list, bad);
    EXPECT_TRUE(bad.empty());
    EXPECT_EQ(list.Allows(GetParam().address), GetParam().allowed) << GetParam().address;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, AddressList,
    ::testing::Values(AllowCase{"EmptyAllowsLoopback", "", "127.0.0.1", true},
                      AllowCase{"EmptyAllowsAllOfLoopback", " ", "127.4.5.6", true},
                      AllowCase{"EmptyAllowsIPv6Loopback", "", "::1", true},
                      AllowCase{"EmptyRefusesOthers", "", "192.168.1.20", false},
                      AllowCase{"OneAddress", "192.168.1.20", "192.168.1.20", true},
                      AllowCase{"OneAddressOnly", "192.168.1.20", "192.168.1.21", false},
                      AllowCase{"ListedReplacesLoopback", "192.168.1.20", "127.0.0.1", false},
                      AllowCase{"Network", "10.0.0.5, 192.168.1.0/24", "192.168.1.77", true},
                      AllowCase{"OutsideNetwork", "192.168.1.0/24", "192.168.2.1", false},
                      AllowCase{"OddPrefix", "10.1.0.0/17", "10.1.127.255", true},
                      AllowCase{"OutsideOddPrefix", "10.1.0.0/17", "10.1.128.0", false},
                      AllowCase{"IPv6Network", "fd00::/8", "fd12:3456::1", true},
                      AllowCase{"OutsideIPv6Network", "fd00::/8", "fe80::1", false},
                      AllowCase{"MappedAddressIsIPv4", "10.0.0.5", "::ffff:10.0.0.5", true},
                      AllowCase{"MappedEntryIsIPv4", "::ffff:10.0.0.0/104", "10.0.0.9", true},
                      AllowCase{"EveryIPv4", "0.0.0.0/0", "203.0.113.9", true},
                      AllowCase{"EveryIPv4IsNotIPv6", "0.0.0.0/0", "2001:db8::1", false},
                      AllowCase{"NotAnAddress", "10.0.0.5", "pbx", false}),
    CaseName());

TEST(AddressList, EntriesThatAreNotAddressesAreReportedAndAllowNothing) {
    std::vector<std::string> bad;
    const auto list =
        platform::TAddressList::Parse("10.0.0.0/33, pbx.local,,300.1.1.1, 10.0.0.5/x", bad);
    EXPECT_EQ(bad,
              (std::vector<std::string>{"10.0.0.0/33", "pbx.local", "300.1.1.1", "10.0.0.5/x"}));
    EXPECT_FALSE(list.Allows("10.0.0.1"));
    EXPECT_FALSE(list.Allows("127.0.0.1"));  // a list was given: loopback is not implied
}

struct PromptCase {
    const char* name;
    const char* bytes;
    platform::TPrompt prompt;
};

class LoginPrompt : public ::testing::TestWithParam<PromptCase> {};

TEST_P(LoginPrompt, IsTheLastLineOfTheBytes) {
    EXPECT_EQ(platform::PromptAtEnd(GetParam().bytes), GetParam().prompt);
}

INSTANTIATE_TEST_SUITE_P(
    Prompts, LoginPrompt,
    ::testing::Values(PromptCase{"Login", "login: ", platform::TPrompt::Login},
                      PromptCase{"AfterBanner", "\r\nPBX SMDR\r\nLogin:", platform::TPrompt::Login},
                      PromptCase{"UserName", "Username>", platform::TPrompt::Login},
                      PromptCase{"Capitals", "USER:", platform::TPrompt::Login},
                      PromptCase{"Password", "admin\r\nPassword: ", platform::TPrompt::Password},
                      PromptCase{"EndedLine", "Last login: Mon 1 Jun\r\n", platform::TPrompt::None},
                      PromptCase{"CallLine", "06/12/26 14:02:11 02 201 00:01:05 8495",
                                 platform::TPrompt::None},
                      PromptCase{"Nothing", "", platform::TPrompt::None}),
    CaseName());

// ---- the station connects ----

TEST(TcpSource, ReadsAcrossDropsCutsTheBrokenLineAndReconnects) {
    TPeerListener exchange;
    ASSERT_TRUE(exchange.Valid());
    TNetPort net(TcpName(exchange.Port()));
    net.Port.Open();
    ASSERT_TRUE(net.Port.Connected());
    EXPECT_EQ(net.Port.LineSignals(), 0u);
    EXPECT_FALSE(net.LinesOn);

    {
        TPeerSocket first = exchange.Accept(5000);
        ASSERT_TRUE(first.Valid());
        ASSERT_TRUE(net.WaitNotice({kConnected}));
        ASSERT_TRUE(first.Send("line 1\r\nline 2\r\npart of 3"));
        ASSERT_TRUE(net.WaitGot("part of 3"));
    }  // the exchange drops the connection in the middle of a line
    ASSERT_TRUE(net.WaitNotice({kLost, kRetry1}));
    ASSERT_EQ(net.Cuts, std::vector<size_t>{net.Got.size()});
    EXPECT_EQ(net.Got, "line 1\r\nline 2\r\npart of 3");

    const auto dropped = std::chrono::steady_clock::now();
    TPeerSocket second;
    ASSERT_TRUE(PumpUntil([&] { return (second = exchange.Accept(10)).Valid(); }, 5000));
    EXPECT_GE(std::chrono::steady_clock::now() - dropped, std::chrono::milliseconds(900));
    ASSERT_TRUE(second.Send("line 3\r\n"));
    ASSERT_TRUE(net.WaitGot("line 3\r\n"));
    EXPECT_EQ(net.Got, "line 1\r\nline 2\r\npart of 3line 3\r\n");
    EXPECT_EQ(net.Cuts.size(), 1u);
    EXPECT_FALSE(net.LinesOn);
    net.Port.Close();
    EXPECT_TRUE(second.ClosedByStation(2000));
}

TEST(TcpSource, OpensWhileTheExchangeIsAwayAndConnectsWhenItComes) {
    const uint16_t free = FreePort();
    TNetPort net(TcpName(free));
    net.Port.Open();
    ASSERT_TRUE(net.Port.Connected());
    ASSERT_TRUE(net.WaitNotice({kNoConnection, kRefusedByPeer, kRetry1}));
    // The same failure again is told with its longer pause.
    ASSERT_TRUE(net.WaitNotice({kNoConnection, kRetry2}, 4000)) << net.AllNotices();

    TPeerListener exchange(free);
    ASSERT_TRUE(exchange.Valid());
    TPeerSocket conn;
    ASSERT_TRUE(PumpUntil([&] { return (conn = exchange.Accept(10)).Valid(); }, 8000));
    ASSERT_TRUE(conn.Send("01/02/26 10:00\r\n"));
    ASSERT_TRUE(net.WaitGot("01/02/26 10:00\r\n"));
    EXPECT_GE(net.Find({kConnected}), 0);
    EXPECT_TRUE(net.Cuts.empty());
}

TEST(TcpSource, AnswersTheLoginPromptsAndKeepsThemOutOfTheLines) {
    TPeerListener exchange;
    TNetPort net(TcpName(exchange.Port()));
    net.Port.SetLogin("smdr\r\nwho");  // a line break in a setting never reaches the exchange
    net.Port.SetPassword("s3cret");
    EXPECT_EQ(net.Port.Login(), "smdrwho");
    net.Port.Open();
    TPeerSocket conn = exchange.Accept(5000);
    ASSERT_TRUE(conn.Valid());
    std::string line;
    // The station's notices wait for the main thread, which the test keeps serving.
    ASSERT_TRUE(conn.Send("\r\nPBX-2000 SMDR\r\nlogin: "));
    ASSERT_TRUE(PumpUntil([&] { return conn.Readable(); }));
    ASSERT_TRUE(conn.ReadLine(line, 5000));
    EXPECT_EQ(line, "smdrwho");
    ASSERT_TRUE(conn.Send("smdrwho\r\nPassword: "));  // echoed, then the second prompt
    ASSERT_TRUE(PumpUntil([&] { return conn.Readable(); }));
    ASSERT_TRUE(conn.ReadLine(line, 5000));
    EXPECT_EQ(line, "s3cret");
    ASSERT_TRUE(conn.Send("\r\n06/12/26 14:02:11 02 201 00:01:05 84951234567\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return !net.Got.empty() && net.Find({kPasswordSent}) >= 0; }));
    ASSERT_TRUE(net.WaitGot("84951234567\r\n"));
    EXPECT_EQ(net.Got, "06/12/26 14:02:11 02 201 00:01:05 84951234567\r\n");
    EXPECT_GE(net.Find({kLoginSent}), 0);
}

TEST(TcpSource, AnExchangeThatAsksNothingIsReadWithALoginSet) {
    TPeerListener exchange;
    TNetPort net(TcpName(exchange.Port()));
    net.Port.SetLogin("smdr");
    net.Port.Open();
    TPeerSocket conn = exchange.Accept(5000);
    ASSERT_TRUE(conn.Valid());
    ASSERT_TRUE(conn.Send("06/12/26 14:02:11 02 201 00:01:05 84951234567\r\n"));
    ASSERT_TRUE(net.WaitGot("84951234567\r\n", 8000));
    EXPECT_EQ(net.Got, "06/12/26 14:02:11 02 201 00:01:05 84951234567\r\n");
    EXPECT_EQ(net.Find({kLoginSent}), -1);
}

// ---- the exchange connects ----

TEST(ListenSource, AcceptsTheExchangeRefusesOthersAndReplacesAStaleConnection) {
    TListening listening("127.0.0.1, 127.0.0.3, bogus/1");
    TNetPort& net = listening.Net;
    ASSERT_TRUE(net.WaitNotice({"Allow", kBadEntry, "bogus/1"}));

    TPeerSocket first = listening.From("127.0.0.1");
    ASSERT_TRUE(first.Valid());
    ASSERT_TRUE(net.WaitNotice({"127.0.0.1:", kJoined}));
    ASSERT_TRUE(first.Send("a 1\r\n"));
    ASSERT_TRUE(net.WaitGot("a 1\r\n"));

    // An address not in the list is refused and told, and never heard.
    TPeerSocket stranger = listening.From("127.0.0.2");
    ASSERT_TRUE(stranger.Valid());
    stranger.Send("x 1\r\n");
    ASSERT_TRUE(net.WaitNotice({"127.0.0.2", kNotAllowed}));
    EXPECT_TRUE(stranger.ClosedByStation(2000));
    // Another allowed address is served beside the exchange.
    TPeerSocket other = listening.From("127.0.0.3");
    ASSERT_TRUE(other.Valid());
    ASSERT_TRUE(net.WaitNotice({"127.0.0.3", kJoined}));
    ASSERT_TRUE(other.Send("c 1\r\n"));
    ASSERT_TRUE(net.WaitGot("a 1\r\nc 1\r\n"));

    // The exchange comes back while its old connection still looks alive; the line it was
    // sending reaches the reader only then, cut off.
    ASSERT_TRUE(first.Send("a 2 cut"));
    PumpFor(100);
    EXPECT_EQ(net.Got, "a 1\r\nc 1\r\n");
    TPeerSocket again = listening.From("127.0.0.1");
    ASSERT_TRUE(again.Valid());
    ASSERT_TRUE(again.Send("a 3\r\n"));
    ASSERT_TRUE(net.WaitNotice({kRejoined}));
    EXPECT_TRUE(first.ClosedByStation(2000));
    ASSERT_TRUE(net.WaitGot("a 3\r\n"));
    EXPECT_EQ(net.Got, "a 1\r\nc 1\r\na 2 cuta 3\r\n");
    EXPECT_EQ(net.Cuts, std::vector<size_t>{17});

    // Leaving between lines cuts nothing.
    again.Close();
    ASSERT_TRUE(net.WaitNotice({"127.0.0.1:", kLeft}));
    other.Close();
    ASSERT_TRUE(net.WaitNotice({"127.0.0.3:", kLeft}));
    EXPECT_EQ(net.Cuts.size(), 1u);
    EXPECT_EQ(net.Got.find("x 1"), std::string::npos);
}

TEST(ListenSource, APortTakenByAnotherListenerFailsToOpen) {
    TPeerListener taken;
    TSerialPort port;
    port.SetPort("listen://127.0.0.1:" + std::to_string(taken.Port()));
    try {
        port.Open();
        FAIL() << "opened";
    } catch (const ESerialPort& e) {
        EXPECT_EQ(e.ErrorCode, 1);
        EXPECT_EQ(e.SystemError, EADDRINUSE);
    }
    EXPECT_FALSE(port.Connected());
}

// ---- several peers on one listener ----

// Got cut into its lines as the station cuts them: a CR ends a line, line feeds are no part
// of one. A part after the last CR is the last entry.
std::vector<std::string> LinesOf(const std::string& got) {
    std::vector<std::string> lines(1);
    for (char c : got) {
        if (c == '\r')
            lines.emplace_back();
        else if (c != '\n')
            lines.back() += c;
    }
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

std::string Numbered(const std::string& who, int n) {
    return who + " " + std::to_string(n) + " 06/12/26 14:02:11 02 201 00:01:05 8495123";
}

// Sends bytes in pieces of 1 to 7 bytes with a pause now and then, as a slow line would.
void SendInPieces(const TPeerSocket& peer, const std::string& bytes, unsigned seed) {
    for (size_t at = 0; at < bytes.size();) {
        seed = seed * 1103515245u + 12345u;
        const size_t n = 1 + (seed >> 16) % 7;
        if (!peer.Send(bytes.substr(at, n))) return;
        at += n;
        if ((seed >> 8) % 5 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
}

TEST(ListenSource, APeerThatTricklesAndOneThatIsSilentDoNotKeepTheExchangeOut) {
    TListening listening("127.0.0.0/29");
    TNetPort& net = listening.Net;
    TPeerSocket silent = listening.From("127.0.0.3");
    TPeerSocket trickler = listening.From("127.0.0.2");
    ASSERT_TRUE(net.WaitNotice({"127.0.0.3:", kJoined}));
    ASSERT_TRUE(net.WaitNotice({"127.0.0.2:", kJoined}));
    // A byte at a time, never a whole line while the exchange sends.
    TTrickle drip(trickler, '~', std::chrono::milliseconds(20));

    TPeerSocket exchange = listening.From("127.0.0.1");
    ASSERT_TRUE(exchange.Valid());
    std::string lines;
    for (int n = 0; n < 20; ++n) lines += Numbered("x", n) + "\r\n";
    std::thread send([&] { SendInPieces(exchange, lines, 7); });
    const bool all = net.WaitGot(lines, 10000);
    send.join();
    ASSERT_TRUE(all) << net.Got;
    EXPECT_EQ(net.Got, lines);  // the trickle is still a line under way
    EXPECT_TRUE(net.Cuts.empty());
    EXPECT_FALSE(silent.ClosedByStation(0));

    // The trickler goes: what it sent arrives after the lines, cut off.
    drip.Stop();
    trickler.Close();
    ASSERT_TRUE(net.WaitNotice({"127.0.0.2:", kLeft}));
    ASSERT_EQ(net.Cuts, std::vector<size_t>{net.Got.size()});
    EXPECT_EQ(net.Got.compare(0, lines.size(), lines), 0);
    EXPECT_EQ(net.Got.find_first_not_of('~', lines.size()), std::string::npos);
    EXPECT_GT(net.Got.size(), lines.size());
}

TEST(ListenSource, TwoPeersSendingAtOnceNeverMeetInsideALine) {
    TListening listening("127.0.0.1, 127.0.0.2");
    TNetPort& net = listening.Net;
    TPeerSocket a = listening.From("127.0.0.1");
    TPeerSocket b = listening.From("127.0.0.2");
    ASSERT_TRUE(a.Valid() && b.Valid());
    constexpr int kLines = 300;
    auto linesOf = [](const std::string& who) {
        std::string bytes;
        for (int n = 0; n < kLines; ++n) bytes += Numbered(who, n) + "\r\n";
        return bytes;
    };
    std::thread sendA([&] { SendInPieces(a, linesOf("a"), 1); });
    std::thread sendB([&] { SendInPieces(b, linesOf("b"), 2); });
    const bool all = PumpUntil([&] { return LinesOf(net.Got).size() >= 2 * kLines; }, 20000);
    sendA.join();
    sendB.join();
    ASSERT_TRUE(all) << LinesOf(net.Got).size();
    int next[2] = {0, 0};
    bool switched = false;
    char last = 0;
    for (const std::string& line : LinesOf(net.Got)) {
        ASSERT_TRUE(!line.empty() && (line[0] == 'a' || line[0] == 'b')) << line;
        const int who = line[0] - 'a';
        ASSERT_EQ(line, Numbered(line.substr(0, 1), next[who])) << "a line of two peers";
        ++next[who];
        switched = switched || (last != 0 && last != line[0]);
        last = line[0];
    }
    EXPECT_EQ(next[0], kLines);
    EXPECT_EQ(next[1], kLines);
    EXPECT_TRUE(switched);  // the two were served side by side
    EXPECT_TRUE(net.Cuts.empty());
}

TEST(ListenSource, AConnectionBeyondTheFourthClosesTheOneSilentLongest) {
    static_assert(platform::kListenConnectionsMax == 4);
    TListening listening("127.0.0.0/24");
    TNetPort& net = listening.Net;
    std::vector<TPeerSocket> peers;
    for (const char* from : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
        peers.push_back(listening.From(from));
        ASSERT_TRUE(net.WaitNotice({std::string(from) + ":", kJoined}));
    }
    // The second begins a line and falls silent; the others speak after it.
    ASSERT_TRUE(peers[1].Send("half of a"));
    PumpFor(50);
    for (int i : {0, 2, 3}) {
        const std::string line = "line " + std::to_string(i) + "\r\n";
        ASSERT_TRUE(peers[i].Send(line));
        ASSERT_TRUE(net.WaitGot(line));
        PumpFor(10);
    }
    const size_t before = net.Got.size();

    TPeerSocket fifth = listening.From("127.0.0.6");
    ASSERT_TRUE(fifth.Valid());
    ASSERT_TRUE(net.WaitNotice({"127.0.0.3:", kDropped, kSilentLongest, "127.0.0.6:"}))
        << net.AllNotices();
    EXPECT_TRUE(peers[1].ClosedByStation(2000));
    ASSERT_TRUE(fifth.Send("line 5\r\n"));
    ASSERT_TRUE(net.WaitGot("line 5\r\n"));
    EXPECT_EQ(net.Got.substr(before), "half of aline 5\r\n");
    EXPECT_EQ(net.Cuts, std::vector<size_t>{before + 9});
    for (int i : {0, 2, 3}) EXPECT_FALSE(peers[i].ClosedByStation(100)) << i;
}

TEST(ListenSource, APeerThatSendsNoLineEndsIsCutAtItsCapAndKeepsNothingBack) {
    TListening listening("127.0.0.1, 127.0.0.2");
    TNetPort& net = listening.Net;
    TPeerSocket noise = listening.From("127.0.0.2");
    TPeerSocket exchange = listening.From("127.0.0.1");
    ASSERT_TRUE(net.WaitNotice({"127.0.0.1:", kJoined}));
    const std::string flood(200000, '#');
    std::thread send([&] { noise.Send(flood); });
    ASSERT_TRUE(exchange.Send("the call\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return net.Got.find("the call\r\n") != std::string::npos; }));
    send.join();
    noise.Close();
    ASSERT_TRUE(net.WaitNotice({"127.0.0.2:", kLeft}));
    // Every byte arrives, the flood only in pieces cut off, the call whole between them.
    EXPECT_EQ(std::count(net.Got.begin(), net.Got.end(), '#'), 200000);
    ASSERT_NE(net.Got.find("the call\r\n"), std::string::npos);
    EXPECT_GE(net.Cuts.size(), 2u);
    for (size_t cut : net.Cuts) {
        ASSERT_GT(cut, 0u);
        EXPECT_EQ(net.Got[cut - 1], '#');
    }
}

// ---- a network device read as the port's worker reads it ----

// The source without the port: its settings in full, its events on a thread of the test.
class TDeviceReader {
public:
    TDeviceReader(const std::string& name, const platform::TNetOptions& options) {
        int error = 0;
        device_ = platform::OpenNetworkDevice(name, options, error);
        if (!device_) return;
        device_->SetCommMask(platform::EV_RXCHAR | platform::EV_BREAK);
        thread_ = std::thread([this] { Run(); });
    }
    ~TDeviceReader() {
        if (!device_) return;
        device_->CancelWait();
        thread_.join();
    }
    bool Valid() const { return device_ != nullptr; }
    std::string Got() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return got_;
    }
    std::vector<size_t> Cuts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return cuts_;
    }
    bool WaitNotice(std::initializer_list<std::string> parts, int ms = 5000) const {
        return PumpUntil(
            [&] {
                std::lock_guard<std::mutex> lock(mutex_);
                for (const std::string& n : notices_) {
                    bool all = true;
                    for (const std::string& p : parts) all = all && n.find(p) != std::string::npos;
                    if (all) return true;
                }
                return false;
            },
            ms);
    }
    bool WaitGot(const std::string& part, int ms = 5000) const {
        return PumpUntil([&] { return Got().find(part) != std::string::npos; }, ms);
    }

private:
    void Run() {
        uint32_t events = 0;
        while (device_->WaitCommEvent(events)) {
            uint32_t errors = 0, queued = 0;
            device_->ClearCommError(errors, queued);
            std::string bytes(queued, '\0');
            uint32_t done = 0;
            device_->Read(bytes.data(), queued, done);
            std::lock_guard<std::mutex> lock(mutex_);
            got_ += bytes.substr(0, done);
            if (events & platform::EV_BREAK) cuts_.push_back(got_.size());
            for (std::string& n : device_->TakeNotices()) notices_.push_back(std::move(n));
        }
    }

    std::unique_ptr<platform::TSerialDevice> device_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::string got_;
    std::vector<size_t> cuts_;
    std::vector<std::string> notices_;
};

// A converter that froze: its network side still answers, nothing comes through.
TEST(IdleSource, ATcpExchangeSilentForTheIdlePeriodIsConnectedAfresh) {
    TPeerListener exchange;
    platform::TNetOptions options;
    options.IdleMs = 1500;
    TDeviceReader source(TcpName(exchange.Port()), options);
    ASSERT_TRUE(source.Valid());
    TPeerSocket frozen = exchange.Accept(5000);
    ASSERT_TRUE(frozen.Valid());
    // Bytes more often than the period keep the connection.
    for (int i = 0; i < 5; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ASSERT_TRUE(frozen.Send(i % 2 ? "\r\n" : "line"));
    }
    const auto silentFrom = std::chrono::steady_clock::now();
    ASSERT_TRUE(source.WaitGot("line\r\nline\r\nline"));
    EXPECT_FALSE(frozen.ClosedByStation(0));
    EXPECT_TRUE(frozen.ClosedByStation(5000));
    EXPECT_GE(std::chrono::steady_clock::now() - silentFrom, std::chrono::milliseconds(1400));
    ASSERT_TRUE(source.WaitNotice({kClosed, std::string(kNoData) + " 2 \xf1", kRetry1}));
    EXPECT_EQ(source.Cuts(), std::vector<size_t>{source.Got().size()});
    TPeerSocket again = exchange.Accept(5000);
    ASSERT_TRUE(again.Valid());
    ASSERT_TRUE(again.Send("after\r\n"));
    ASSERT_TRUE(source.WaitGot("after\r\n"));
    EXPECT_EQ(source.Got(), "line\r\nline\r\nlineafter\r\n");
}

TEST(IdleSource, AListenerClosesAConnectionSilentForTheIdlePeriodAndKeepsTheOthers) {
    const uint16_t port = FreePort();
    platform::TNetOptions options;
    options.Allow = "127.0.0.1, 127.0.0.2";
    options.IdleMs = 1000;
    TDeviceReader source(ListenName(port), options);
    ASSERT_TRUE(source.Valid());
    TPeerSocket frozen = ConnectFrom("127.0.0.2", port);
    TPeerSocket talking = ConnectFrom("127.0.0.1", port);
    ASSERT_TRUE(frozen.Send("half"));
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(talking.Send("t\r\n"));
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    EXPECT_TRUE(frozen.ClosedByStation(0));
    ASSERT_TRUE(source.WaitNotice({"127.0.0.2:", kDropped, std::string(kNoData) + " 1 \xf1"}));
    EXPECT_FALSE(talking.ClosedByStation(0));
    const std::string got = source.Got();
    ASSERT_NE(got.find("half"), std::string::npos);
    EXPECT_EQ(source.Cuts(), std::vector<size_t>{got.find("half") + 4});
}

// ---- a peer that stops answering ----

bool LoopbackUp() {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq r{};
    std::strncpy(r.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(s, SIOCGIFFLAGS, &r) == 0;
    r.ifr_flags = static_cast<short>(r.ifr_flags | IFF_UP);
    ok = ok && ::ioctl(s, SIOCSIFFLAGS, &r) == 0;
    ::close(s);
    return ok;
}

int Nft(const std::string& rule) {
    return process::Run({"nft", rule});
}

// The exchange's packets vanish (a cable pulled, the exchange powered off): nothing closes the
// connection, only the keep-alive can tell. The test runs in a network namespace of its own so
// its packet filter touches nothing else.
TEST(TcpSource, APeerThatStopsAnsweringIsDroppedByTheKeepAliveAndReconnected) {
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0 || !LoopbackUp())
        GTEST_SKIP() << "needs root for a network namespace";
    if (Nft("add table inet tarvick_test") != 0) GTEST_SKIP() << "needs nft";
    TPeerListener exchange;
    TNetPort net(TcpName(exchange.Port()));
    net.Port.SetKeepAlive(3);
    net.Port.Open();
    TPeerSocket conn = exchange.Accept(5000);
    ASSERT_TRUE(conn.Valid());
    ASSERT_TRUE(conn.Send("before\r\n"));
    ASSERT_TRUE(net.WaitGot("before\r\n"));

    const std::string port = std::to_string(exchange.Port());
    ASSERT_EQ(Nft("add chain inet tarvick_test in { type filter hook input priority 0; }"), 0);
    ASSERT_EQ(Nft("add rule inet tarvick_test in tcp sport " + port + " drop"), 0);
    ASSERT_EQ(Nft("add rule inet tarvick_test in tcp dport " + port + " drop"), 0);
    ASSERT_TRUE(net.WaitNotice({kLost, kNoAnswer}, 20000)) << net.AllNotices();
    ASSERT_EQ(Nft("delete table inet tarvick_test"), 0);

    TPeerSocket back;
    ASSERT_TRUE(PumpUntil([&] { return (back = exchange.Accept(10)).Valid(); }, 15000))
        << net.AllNotices();
    ASSERT_TRUE(back.Send("after\r\n"));
    ASSERT_TRUE(net.WaitGot("after\r\n"));
    EXPECT_EQ(net.Got, "before\r\nafter\r\n");
}

}  // namespace
