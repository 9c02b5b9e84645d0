#include <gtest/gtest.h>

#include <algorithm>

#include "modem/PortMap.h"
#include "platform/ShiftJis.h"

using namespace modem;

namespace {

TEST(PortMap, OnlyAnAddressTheInternetCanReachCountsAsTheRoutersOutside) {
  const struct {
    const char* address;
    bool publicOne;
  } cases[] = {
      {"203.0.113.5", true},  {"8.8.8.8", true},      {"100.63.255.255", true}, {"100.128.0.1", true},
      {"172.15.0.1", true},   {"172.32.0.1", true},   {"192.169.0.1", true},    {"10.0.0.1", false},
      {"172.16.0.1", false},  {"172.31.255.1", false}, {"192.168.1.1", false},  {"100.64.0.1", false},
      {"100.127.255.254", false}, {"127.0.0.1", false}, {"169.254.3.4", false}, {"0.0.0.0", false},
      {"224.0.0.1", false},   {"255.255.255.255", false}, {"", false},          {"2001:db8::1", false},
      {"not an address", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsPublicIPv4(c.address), c.publicOne) << c.address;
}

TEST(PortMap, AnAddressIsWrittenAsTheDestinationFieldTakesIt) {
  EXPECT_EQ(DialText("203.0.113.5", 24680), "203.0.113.5:24680");
  EXPECT_EQ(DialText("2001:db8::7", 24680), "[2001:db8::7]:24680");
}

TEST(PortMap, AGlobalIPv6AddressIsOfferedStableBeforeTemporaryAndNeverALocalOne) {
  const std::string loopback = "00000000000000000000000000000001 01 80 10 80       lo\n";
  const std::string linkLocal = "fe800000000000000000000000000001 02 40 20 80     eth0\n";
  const std::string uniqueLocal = "fd000000000000000000000000000007 02 40 00 80     eth0\n";
  const std::string temporary = "20010db8000000000000000000000099 02 40 00 01     eth0\n";
  const std::string tentative = "20010db8000000000000000000000042 02 40 00 40     eth0\n";
  const std::string stable = "20010db8000000000000000000000007 02 40 00 80     eth0\n";
  const struct {
    std::string text;
    std::optional<std::string> offered;
  } cases[] = {
      {"", std::nullopt},
      {loopback + linkLocal + uniqueLocal + tentative, std::nullopt},
      {loopback + temporary, "2001:db8::99"},
      {temporary + stable + linkLocal, "2001:db8::7"},
  };
  for (const auto& c : cases) EXPECT_EQ(GlobalIPv6(c.text), c.offered) << c.text;
}

TEST(PortMap, WithoutTheRoutersHelpThisMachinesOwnAddressIsOfferedPublicFirst) {
  const struct {
    std::vector<std::string> interfaces;
    std::vector<std::string> offered;
  } cases[] = {
      {{"127.0.0.1", "192.168.1.5"}, {"192.168.1.5"}},
      {{"127.0.0.1", "169.254.3.4", "0.0.0.0"}, {}},
      {{"10.0.0.2", "198.51.100.7", "10.0.0.2"}, {"198.51.100.7", "10.0.0.2"}},
      {{"not an address", "::1", "172.16.9.9"}, {"172.16.9.9"}},
  };
  for (const auto& c : cases) EXPECT_EQ(OwnIPv4(c.interfaces), c.offered);
  EXPECT_TRUE(OwnAddressLine("192.168.1.5", 5000).contains(QStringLiteral("192.168.1.5:5000")));
  EXPECT_TRUE(OwnAddressLine("192.168.1.5", 5000).contains(QStringLiteral("転送")));
  EXPECT_FALSE(OwnAddressLine("198.51.100.7", 5000).contains(QStringLiteral("転送")));
}

// The router's and the modem's long lines fit the chat window: none over 52 Shift-JIS bytes,
// an address never cut, nothing lost.
TEST(PortMap, LongLinesAreCutWhereTheyBreakIntoLinesTheChatWindowShowsWhole) {
  const QString lines[] = {
      ReportLine({PortMapResult::NoGateway, {}, {}, 24680, 0, {}, {}}),
      ReportLine({PortMapResult::NotPublic, "UPnP", "100.64.2.3", 24680, 0, {}, {}}),
      OwnAddressLine("192.168.100.200", 24680),
      IPv6Line("[2001:db8:1234:5678:9abc:def0:1234:5678]:24680"),
      QStringLiteral("ｱｲｳｴｵｶｷｸｹｺｱｲｳｴｵｶｷｸｹｺｱｲｳｴｵｶｷｸｹｺｱｲｳｴｵｶｷｸｹｺｱｲｳｴｵｶｷｸｹｺｱｲｳｴｵｶｷｸｹｺ"),
      QStringLiteral("short"),
  };
  for (const QString& line : lines) {
    const auto pieces = ChatLines(line);
    QString joined;
    for (const QString& piece : pieces) {
      EXPECT_LE(ShiftJis::Encode(piece).size(), kChatLineBytes) << piece.toStdString();
      joined += piece;
    }
    EXPECT_EQ(joined, line);
    for (const char* address : {"100.64.2.3", "192.168.100.200:24680", "[2001:db8:1234:5678:9abc:def0:1234:5678]:24680"}) {
      if (!line.contains(QLatin1String(address))) continue;
      EXPECT_TRUE(std::any_of(pieces.begin(), pieces.end(), [&](const QString& p) { return p.contains(QLatin1String(address)); }))
          << address;
    }
  }
  EXPECT_EQ(ChatLines(QStringLiteral("short")).size(), 1u);
}

TEST(PortMap, EachAnswerOfTheRouterNamesWhatThePlayerNeedsToKnow) {
  const struct {
    PortMapReport report;
    std::vector<QString> says;
  } cases[] = {
      {{PortMapResult::Mapped, "UPnP", "203.0.113.5", 24680, 24680, {}, {}}, {"UPnP", "203.0.113.5:24680"}},
      {{PortMapResult::Mapped, "NAT-PMP", "203.0.113.5", 24680, 40000, {}, {}}, {"NAT-PMP", "203.0.113.5:40000"}},
      {{PortMapResult::NoGateway, {}, {}, 5000, 0, {}, {}}, {"5000", "TCP と UDP", "README"}},
      {{PortMapResult::Refused, "UPnP", "203.0.113.5", 5000, 0, "606: Action not authorized", {}},
       {"5000", "606: Action not authorized", "断りました"}},
      {{PortMapResult::NotPublic, "UPnP", "100.64.2.3", 5000, 0, {}, {}},
       {"100.64.2.3", "二重 NAT", "キャリアグレード NAT", "相手に待機", "IPv6"}},
      {{PortMapResult::NotPublic, "NAT-PMP", {}, 5000, 0, {}, {}}, {"公開アドレスがありません", "IPv6"}},
      {{PortMapResult::Taken, "UPnP", "203.0.113.5", 5000, 0, {}, "192.168.1.20"}, {"5000", "192.168.1.20", "別のマシン"}},
  };
  for (const auto& c : cases) {
    const QString line = ReportLine(c.report);
    EXPECT_FALSE(line.contains(QLatin1Char('\n')));
    for (const QString& part : c.says) EXPECT_TRUE(line.contains(part)) << line.toStdString() << " lacks " << part.toStdString();
  }
  EXPECT_TRUE(IPv6Line("[2001:db8::7]:24680").endsWith(QStringLiteral("[2001:db8::7]:24680")));
}

}  // namespace
