#include <gtest/gtest.h>

#include "modem/PortMap.h"

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
