// A home router in network namespaces: "home" (the player who waits) behind "router", which
// masquerades with nftables and runs miniupnpd, and "internet" on the router's outside. The
// modems are sonavel-modem processes in those namespaces; the test drives them through their
// ptys, which every namespace shares.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "modem/PortMap.h"
#include "support/ModemTerminal.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using modem::Terminal;
using std::chrono::milliseconds;

// How long a modem's words may take through the namespaces and the router.
constexpr int kReplyMs = 4000;

constexpr const char* kHomeAddress = "192.168.77.2";
constexpr const char* kOtherHomeMachine = "192.168.77.3";
constexpr const char* kRouterInside = "192.168.77.1";
// The router's outside: an address miniupnpd takes for public (it refuses documentation and
// private ranges). It exists only inside these namespaces; nothing is sent beyond them.
constexpr const char* kRouterOutside = "192.0.3.1";
constexpr const char* kHomeV6 = "2001:db8:77::2";

// Runs a shell command line; its output, and whether it succeeded.
struct Shell {
  static bool Run(const std::string& command, std::string* out = nullptr) {
    FILE* p = ::popen(("exec 2>&1\n" + command).c_str(), "r");
    if (!p) return false;
    std::string text;
    char buf[4096];
    while (const std::size_t n = std::fread(buf, 1, sizeof buf, p)) text.append(buf, n);
    const int status = ::pclose(p);
    if (out) *out = text;
    return status == 0;
  }
};

pid_t Spawn(const std::vector<std::string>& args, const std::string& output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void Stop(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  pid = -1;
}

std::string FileText(const std::string& path) {
  QFile f(QString::fromStdString(path));
  return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
}

bool WaitUntil(const std::function<bool()>& condition, milliseconds time) {
  const auto end = Clock::now() + time;
  while (!condition()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return true;
}

enum class Daemon { None, UpnpAndNatPmp, NatPmpOnly };

// Three namespaces and the links between them, named after this process so that tests running
// at once never meet; all of it goes when the object does.
class HomeNetwork {
 public:
  explicit HomeNetwork(const char* outside = "192.0.3.1/24")
      : tag_("pm-" + std::to_string(::getpid() % 10000000)),
        home_(tag_ + "-home"), router_(tag_ + "-rtr"), internet_(tag_ + "-net") {
    const std::string h0 = tag_ + "-h0", r0 = tag_ + "-r0", r1 = tag_ + "-r1", n0 = tag_ + "-n0";
    const std::string outsideNet = outside;
    const std::string peer = outsideNet.rfind("100.64.", 0) == 0 ? "100.64.0.2/10" : "192.0.3.2/24";
    const std::vector<std::string> steps = {
        "ip netns add " + home_, "ip netns add " + router_, "ip netns add " + internet_,
        "ip link add " + h0 + " netns " + home_ + " type veth peer name " + r0 + " netns " + router_,
        "ip link add " + r1 + " netns " + router_ + " type veth peer name " + n0 + " netns " + internet_,
        "ip -n " + home_ + " addr add " + kHomeAddress + "/24 dev " + h0,
        "ip -n " + home_ + " addr add " + kHomeV6 + "/64 dev " + h0 + " nodad",
        "ip -n " + router_ + " addr add " + kRouterInside + "/24 dev " + r0,
        "ip -n " + router_ + " addr add 2001:db8:77::1/64 dev " + r0 + " nodad",
        "ip -n " + router_ + " addr add " + outsideNet + " dev " + r1,
        "ip -n " + router_ + " addr add 2001:db8:3::1/64 dev " + r1 + " nodad",
        "ip -n " + internet_ + " addr add " + peer + " dev " + n0,
        "ip -n " + internet_ + " addr add 2001:db8:3::2/64 dev " + n0 + " nodad",
        "ip -n " + home_ + " link set lo up", "ip -n " + router_ + " link set lo up",
        "ip -n " + internet_ + " link set lo up", "ip -n " + home_ + " link set " + h0 + " up",
        "ip -n " + router_ + " link set " + r0 + " up", "ip -n " + router_ + " link set " + r1 + " up",
        "ip -n " + internet_ + " link set " + n0 + " up",
        "ip -n " + home_ + " route add default via " + kRouterInside,
        "ip -n " + home_ + " -6 route add default via 2001:db8:77::1",
        "ip -n " + internet_ + " -6 route add 2001:db8:77::/64 via 2001:db8:3::1",
        "ip netns exec " + router_ + " sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1",
        // The tables miniupnpd fills in, made here (Debian's nft_init.sh lacks its helper).
        "ip netns exec " + router_ + " nft -f - <<'EOF'\n"
        "table inet filter {\n"
        "  chain forward { type filter hook forward priority 0; policy accept; jump miniupnpd; }\n"
        "  chain miniupnpd { }\n"
        "  chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }\n"
        "  chain postrouting { type nat hook postrouting priority 100; policy accept;\n"
        "    oifname \"" + r1 + "\" meta nfproto ipv4 masquerade; jump postrouting_miniupnpd; }\n"
        "  chain prerouting_miniupnpd { }\n"
        "  chain postrouting_miniupnpd { }\n"
        "}\nEOF",
    };
    for (const auto& step : steps) {
      std::string out;
      if (!Shell::Run(step, &out)) {
        failed_ = step + ": " + out;
        return;
      }
    }
    outside_ = r1;
    inside_ = r0;
    // Ready once every link has its carrier and no address is still being checked for
    // duplicates: before that, multicast and IPv6 go nowhere.
    const bool ready = WaitUntil(
        [&] {
          for (const auto& ns : {home_, router_, internet_}) {
            std::string links, tentative;
            Shell::Run("ip -n " + ns + " link show", &links);
            Shell::Run("ip -n " + ns + " addr show tentative", &tentative);
            if (links.find("NO-CARRIER") != std::string::npos || links.find("LOWER_UP") == std::string::npos ||
                !tentative.empty())
              return false;
          }
          return true;
        },
        milliseconds(5000));
    if (!ready) failed_ = "the links did not come up";
  }
  ~HomeNetwork() {
    StopRouter();
    for (const auto& ns : {home_, router_, internet_}) Shell::Run("ip netns del " + ns);
  }
  const std::string& Failed() const { return failed_; }
  const std::string& Home() const { return home_; }
  const std::string& Router() const { return router_; }
  const std::string& Internet() const { return internet_; }

  // miniupnpd in the foreground with a configuration of its own; true once it listens.
  bool StartRouter(Daemon daemon) {
    if (daemon == Daemon::None) return true;
    const std::string conf = dir_.filePath("miniupnpd.conf").toStdString();
    QFile f(QString::fromStdString(conf));
    if (!f.open(QIODevice::WriteOnly)) return false;
    const std::string text = "ext_ifname=" + outside_ + "\nlistening_ip=" + inside_ +
                             "\nhttp_port=0\nenable_natpmp=yes\nenable_upnp=" +
                             (daemon == Daemon::UpnpAndNatPmp ? "yes" : "no") +
                             "\nsecure_mode=no\nsystem_uptime=yes\n"
                             "uuid=3b2c8a4e-1d2f-4e5a-9b6c-7d8e9f0a1b2c\n"
                             "allow 1024-65535 192.168.77.0/24 1024-65535\ndeny 0-65535 0.0.0.0/0 0-65535\n";
    f.write(text.c_str());
    f.close();
    routerLog_ = dir_.filePath("miniupnpd.log").toStdString();
    routerPid_ = Spawn({"ip", "netns", "exec", router_, "miniupnpd", "-f", conf, "-d", "-P",
                        dir_.filePath("miniupnpd.pid").toStdString()},
                       routerLog_);
    return routerPid_ > 0 &&
           WaitUntil([&] { return FileText(routerLog_).find("Listening for NAT-PMP") != std::string::npos; },
                     milliseconds(5000));
  }
  void StopRouter() { Stop(routerPid_); }
  std::string RouterLog() const { return FileText(routerLog_); }

  // The router's forwarding rules that name the port (miniupnpd's, in both tables).
  int RulesFor(std::uint16_t port) const {
    std::string out;
    Shell::Run("ip netns exec " + router_ + " nft list table inet filter", &out);
    int count = 0;
    const std::string needle = "dport " + std::to_string(port) + " ";
    for (std::size_t at = out.find(needle); at != std::string::npos; at = out.find(needle, at + 1)) ++count;
    return count;
  }

  // A sonavel-modem in a namespace; its output goes to a file.
  struct Modem {
    pid_t pid = -1;
    std::string link, output;
    ~Modem() { Stop(pid); }
    std::string Output() const { return FileText(output); }
  };
  void StartModem(Modem& m, const std::string& ns, const char* name, std::uint16_t port, bool portMap) {
    m.link = dir_.filePath(QString::fromLatin1(name)).toStdString();
    m.output = m.link + ".out";
    std::vector<std::string> args = {"ip", "netns", "exec", ns, SONAVEL_MODEM, "--open", "--utf8", "--listen", std::to_string(port)};
    if (!portMap) args.push_back("--no-portmap");
    args.push_back(m.link);
    m.pid = Spawn(args, m.output);
    WaitUntil([&] { return ::access(m.link.c_str(), F_OK) == 0; }, milliseconds(5000));
  }

 private:
  QTemporaryDir dir_;
  std::string tag_, home_, router_, internet_, outside_, inside_, failed_;
  std::string routerLog_;
  pid_t routerPid_ = -1;
};

std::uint16_t SomePort() {
  std::random_device r;
  return static_cast<std::uint16_t>(20000 + r() % 40000);
}

// A call between a caller and the player who waits, with bytes both ways.
void CallStands(Terminal& waiting, Terminal& calling, const std::string& dial) {
  calling.Send("ATDT" + dial + "\r");
  const std::string dialled = calling.ReadUntilOrEmpty("CONNECT", kReplyMs);
  ASSERT_NE(dialled, "") << dial << calling.ReadUntil("NO CARRIER", kReplyMs);
  ASSERT_NE(waiting.ReadUntilOrEmpty("CONNECT", kReplyMs), "");
  waiting.ReadUntilOrEmpty("\r\n", kReplyMs);
  calling.ReadUntilOrEmpty("\r\n", kReplyMs);
  using namespace std::string_view_literals;
  calling.Send("\xff\x90\x3c\x64note from outside\r"sv);
  EXPECT_NE(waiting.ReadUntilOrEmpty("note from outside\r", kReplyMs), "");
  waiting.Send("\xff\x80\x3c\x00note from home\r"sv);
  EXPECT_NE(calling.ReadUntilOrEmpty("note from home\r", kReplyMs), "");
}

// Namespaces, veth pairs and nftables need root.
#define NEEDS_ROOT() \
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces"

TEST(PortMapRouter, TheRouterOpensThePortWhileThePlayerWaitsAndClosesItAfter) {
  NEEDS_ROOT();
  for (const Daemon daemon : {Daemon::UpnpAndNatPmp, Daemon::NatPmpOnly}) {
    SCOPED_TRACE(daemon == Daemon::UpnpAndNatPmp ? "UPnP" : "NAT-PMP");
    HomeNetwork net;
    ASSERT_EQ(net.Failed(), "");
    ASSERT_TRUE(net.StartRouter(daemon)) << net.RouterLog();
    const std::uint16_t port = SomePort();
    HomeNetwork::Modem home, caller;
    net.StartModem(home, net.Home(), "home", port, true);
    net.StartModem(caller, net.Internet(), "caller", SomePort(), false);
    Terminal waiting(home.link), calling(caller.link);
    ASSERT_TRUE(waiting.Open() && calling.Open());

    const auto pressed = Clock::now();
    waiting.Send("ATS0=1\r");
    const std::string address = std::string(kRouterOutside) + ":" + std::to_string(port);
    const std::string said = waiting.ReadUntilOrEmpty(address, 3000);
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - pressed).count();
    ASSERT_NE(said, "") << home.Output() << net.RouterLog();
    std::printf("待機 to the address line (%s): %lld ms\n", daemon == Daemon::UpnpAndNatPmp ? "UPnP" : "NAT-PMP",
                static_cast<long long>(took));
    EXPECT_NE(said.find(daemon == Daemon::UpnpAndNatPmp ? "UPnP" : "NAT-PMP"), std::string::npos) << said;
    EXPECT_NE(said.find("[" + std::string(kHomeV6) + "]:" + std::to_string(port)), std::string::npos)
        << "a global IPv6 address needs no router: " << said;
    EXPECT_NE(home.Output().find(address), std::string::npos) << "sonavel-modem prints the line too";
    EXPECT_EQ(net.RulesFor(port), 4) << "TCP and UDP, each a filter and a forward rule";

    CallStands(waiting, calling, address);

    // The player hangs up and closes the port: the wait is over, the router forgets the port.
    waiting.Close();
    EXPECT_TRUE(WaitUntil([&] { return net.RulesFor(port) == 0; }, milliseconds(3000))) << net.RouterLog();

    // Waiting again and then stopping the modem (SIGTERM) takes the mapping away too.
    Terminal again(home.link);
    again.Send("ATS0=1\r");
    ASSERT_NE(again.ReadUntilOrEmpty(address, 3000), "") << home.Output();
    EXPECT_EQ(net.RulesFor(port), 4);
    Stop(home.pid);
    EXPECT_EQ(net.RulesFor(port), 0) << "removed before the modem ended";
  }
}

TEST(PortMapRouter, WhenTheRouterCannotHelpThePlayerReadsWhyAndTheWaitStillWorks) {
  NEEDS_ROOT();
  const std::uint16_t port = SomePort();
  const std::string p = std::to_string(port);
  const struct {
    const char* name;
    Daemon daemon;
    const char* outside;
    bool taken;  // another machine at home has the port already
    std::vector<std::string> says;
  } cases[] = {
      {"no router daemon", Daemon::None, "192.0.3.1/24", false, {"応答しません", "ポート " + p, "README"}},
      {"carrier-grade NAT", Daemon::UpnpAndNatPmp, "100.64.0.1/10", false, {"公開アドレスがありません", "キャリアグレード NAT"}},
      {"port taken", Daemon::UpnpAndNatPmp, "192.0.3.1/24", true, {"別のマシン", kOtherHomeMachine}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HomeNetwork net(c.outside);
    ASSERT_EQ(net.Failed(), "");
    ASSERT_TRUE(net.StartRouter(c.daemon)) << net.RouterLog();
    if (c.taken) {
      std::string out;
      ASSERT_TRUE(Shell::Run("ip netns exec " + net.Home() + " upnpc -e other -a " + kOtherHomeMachine + " " + p +
                                 " " + p + " TCP",
                             &out))
          << out;
    }
    HomeNetwork::Modem home, neighbour;
    net.StartModem(home, net.Home(), "home", port, true);
    // On the home network, reached without the router's help.
    net.StartModem(neighbour, net.Router(), "neighbour", SomePort(), false);
    Terminal waiting(home.link), calling(neighbour.link);
    const auto pressed = Clock::now();
    waiting.Send("ATS0=1\r");
    // The router's answer, then the address a partner at home dials, since no router forwards
    // the port; both cut into lines the chat window shows whole.
    std::string said = waiting.ReadUntilOrEmpty(std::string(kHomeAddress) + ":" + p, 3000);
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - pressed).count();
    ASSERT_NE(said, "") << home.Output() << net.RouterLog();
    for (std::size_t at; (at = said.find("\r\n")) != std::string::npos;) said.erase(at, 2);
    for (const auto& part : c.says) EXPECT_NE(said.find(part), std::string::npos) << said << " lacks " << part;
    EXPECT_NE(said.find("同じネットワーク"), std::string::npos) << said;
    std::printf("待機 to the line (%s): %lld ms\n", c.name, static_cast<long long>(took));
    CallStands(waiting, calling, std::string(kHomeAddress) + ":" + p);
  }
}

TEST(PortMapRouter, ACallerDialsAGlobalIPv6AddressInBracketsWithoutAnyMapping) {
  NEEDS_ROOT();
  HomeNetwork net;
  ASSERT_EQ(net.Failed(), "");
  const std::uint16_t port = SomePort();
  HomeNetwork::Modem home, caller;
  net.StartModem(home, net.Home(), "home", port, false);
  net.StartModem(caller, net.Internet(), "caller", SomePort(), false);
  Terminal waiting(home.link), calling(caller.link);
  waiting.Send("ATS0=1\r");
  const std::string address = "[" + std::string(kHomeV6) + "]:" + std::to_string(port);
  ASSERT_NE(waiting.ReadUntilOrEmpty(address, 3000), "") << "offered with the router left alone";
  CallStands(waiting, calling, address);
}

}  // namespace

namespace {

// The router forgets a mapping whose lease ran out; the wait renews it before then, and the
// mapping stands for as long as the wait lasts.
TEST(PortMapRouter, TheLeaseIsRenewedWhileTheWaitLasts) {
  NEEDS_ROOT();
  HomeNetwork net;
  ASSERT_EQ(net.Failed(), "");
  ASSERT_TRUE(net.StartRouter(Daemon::UpnpAndNatPmp)) << net.RouterLog();
  // This thread at home while the port map's thread starts, which stays there.
  const int outside = ::open("/proc/self/ns/net", O_RDONLY);
  const int home = ::open(("/run/netns/" + net.Home()).c_str(), O_RDONLY);
  ASSERT_EQ(::setns(home, CLONE_NEWNET), 0);
  ::close(home);
  {
    modem::PortMap::Options options;
    options.lease = std::chrono::seconds(4);
    modem::PortMap map(options);
    const std::uint16_t port = SomePort();
    map.Start(port);
    EXPECT_TRUE(WaitUntil([&] { return net.RulesFor(port) == 4; }, milliseconds(3000)));
    std::this_thread::sleep_for(std::chrono::seconds(9));
    EXPECT_EQ(net.RulesFor(port), 4) << "past two leases" << net.RouterLog();
    EXPECT_EQ(map.CallerAddress(), std::string(kRouterOutside) + ":" + std::to_string(port));
    map.Stop();
    EXPECT_TRUE(WaitUntil([&] { return net.RulesFor(port) == 0; }, milliseconds(3000)));
  }
  ::setns(outside, CLONE_NEWNET);
  ::close(outside);
}

}  // namespace
