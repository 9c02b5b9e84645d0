#include "modem/PortMap.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
// The library has the error texts; its header declares them only when asked.
#define ENABLE_STRNATPMPERR
#include <natpmp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/ShiftJis.h"

namespace modem {

namespace {

using Clock = std::chrono::steady_clock;

// UPnP error codes a router answers AddPortMapping with, where we act on them.
constexpr int kUpnpConflict = 718;        // ConflictInMappingEntry
constexpr int kUpnpOnlyPermanent = 725;   // OnlyPermanentLeasesSupported
// A router that took the mapping gets this long to answer its removal.
constexpr auto kRemoveTime = std::chrono::milliseconds(500);

constexpr bool InBlock(std::uint32_t address, std::uint32_t block, int bits) {
  const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
  return (address & mask) == (block & mask);
}

constexpr std::uint32_t V4(int a, int b, int c, int d) {
  return static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(b) << 16 |
         static_cast<std::uint32_t>(c) << 8 | static_cast<std::uint32_t>(d);
}

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A NAT-PMP request sent (the library sends it again as its timer says) until the answer comes
// or the time is up. NATPMP_TRYAGAIN when it is up.
int NatPmpAnswer(natpmp_t& np, natpmpresp_t& response, Clock::time_point deadline) {
  for (;;) {
    const int r = readnatpmpresponseorretry(&np, &response);
    if (r != NATPMP_TRYAGAIN) return r;
    const auto now = Clock::now();
    if (now >= deadline) return NATPMP_TRYAGAIN;
    timeval retry{};
    getnatpmprequesttimeout(&np, &retry);
    const long long retryMs = static_cast<long long>(retry.tv_sec) * 1000 + retry.tv_usec / 1000;
    const long long leftMs = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    pollfd p{np.s, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(std::clamp<long long>(std::min(retryMs, leftMs) + 1, 0, 60000)));
  }
}

std::string NatPmpReason(int code) {
  return std::to_string(code) + ": " + strnatpmperr(code);
}

std::string UpnpReason(int code) {
  const char* text = strupnperror(code);
  return std::to_string(code) + (text ? std::string(": ") + text : std::string());
}

}  // namespace

bool IsPublicIPv4(std::string_view address) {
  in_addr a{};
  const std::string text(address);
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  const std::uint32_t v = ntohl(a.s_addr);
  struct Block {
    std::uint32_t start;
    int bits;
  };
  static constexpr Block kNotPublic[] = {
      {V4(0, 0, 0, 0), 8},       {V4(10, 0, 0, 0), 8},    {V4(100, 64, 0, 0), 10}, {V4(127, 0, 0, 0), 8},
      {V4(169, 254, 0, 0), 16},  {V4(172, 16, 0, 0), 12}, {V4(192, 0, 0, 0), 24},  {V4(192, 168, 0, 0), 16},
      {V4(198, 18, 0, 0), 15},   {V4(224, 0, 0, 0), 4},   {V4(240, 0, 0, 0), 4},
  };
  return std::none_of(std::begin(kNotPublic), std::end(kNotPublic),
                      [v](const Block& b) { return InBlock(v, b.start, b.bits); });
}

std::string DialText(std::string_view address, std::uint16_t port) {
  const std::string host(address);
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

QString ReportLine(const PortMapReport& r) {
  const QString port = QString::number(r.port);
  switch (r.result) {
    case PortMapResult::Mapped:
      return QStringLiteral("ルーターが %1 でポート %2 を開きました。相手に伝えるアドレス: %3")
          .arg(Q(r.via), port, Q(DialText(r.external, r.publicPort)));
    case PortMapResult::NoGateway:
      return QStringLiteral(
                 "ルーターが応答しません (UPnP, NAT-PMP)。ルーターでポート %1 (TCP と UDP) をこのマシンへ転送してください"
                 "（README「インターネットで演奏する」）")
          .arg(port);
    case PortMapResult::Refused:
      return QStringLiteral("ルーターがポート %1 を開くのを断りました（%2 %3）。ルーターで手で転送してください")
          .arg(port, Q(r.via), Q(r.reason));
    case PortMapResult::NotPublic: {
      const QString where = r.external.empty() ? QStringLiteral("ルーターの外側に公開アドレスがありません")
                                               : QStringLiteral("ルーターの外側のアドレス %1 は公開アドレスではありません")
                                                     .arg(Q(r.external));
      return where + QStringLiteral("（二重 NAT かキャリアグレード NAT）。ポートを開いても着信できないので、"
                                    "相手に待機してもらうか、両方で IPv6 を使ってください");
    }
    case PortMapResult::Taken:
      return QStringLiteral(
                 "ルーターのポート %1 はすでに別のマシン (%2) に割り当てられています。着信ﾎﾟｰﾄを変えるか、"
                 "ルーターでその割り当てを外してください")
          .arg(port, Q(r.holder));
  }
  return {};
}

std::vector<std::string> OwnIPv4(const std::vector<std::string>& interfaceAddresses) {
  std::vector<std::string> publicOnes, localOnes;
  for (const std::string& text : interfaceAddresses) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) continue;
    const std::uint32_t v = ntohl(a.s_addr);
    if (InBlock(v, V4(127, 0, 0, 0), 8) || InBlock(v, V4(169, 254, 0, 0), 16) || InBlock(v, V4(0, 0, 0, 0), 8) ||
        InBlock(v, V4(224, 0, 0, 0), 3)) {
      continue;
    }
    auto& list = IsPublicIPv4(text) ? publicOnes : localOnes;
    if (std::find(list.begin(), list.end(), text) == list.end()) list.push_back(text);
  }
  publicOnes.insert(publicOnes.end(), localOnes.begin(), localOnes.end());
  return publicOnes;
}

QString OwnAddressLine(std::string_view address, std::uint16_t port) {
  const QString dial = Q(DialText(address, port));
  if (IsPublicIPv4(address)) return QStringLiteral("このマシンのアドレス (相手に伝えるアドレス): %1").arg(dial);
  return QStringLiteral(
             "同じネットワークの相手に伝えるアドレス: %1（インターネットの相手には、ルーターでポート %2 を"
             "このマシンへ転送し、ルーターの外側のアドレスを伝えてください）")
      .arg(dial)
      .arg(port);
}

std::vector<QString> ChatLines(const QString& line, int maxBytes) {
  std::vector<QString> lines;
  const auto width = [](QChar c) { return ShiftJis::Encode(QString(c)).size(); };
  const auto breaksAfter = [](QChar c) {
    return c == QLatin1Char(' ') || c == QChar(0x3001) || c == QChar(0x3002) || c == QChar(0xFF09) ||
           c == QLatin1Char(')') || c == QLatin1Char(',');
  };
  qsizetype start = 0;
  while (start < line.size()) {
    qsizetype end = start, cut = -1;
    qsizetype used = 0;
    while (end < line.size() && used + width(line[end]) <= maxBytes) {
      used += width(line[end]);
      ++end;
      if (end < line.size() && (breaksAfter(line[end - 1]) || line[end] == QChar(0xFF08))) cut = end;
    }
    if (end < line.size() && cut > start) end = cut;
    if (end == start) end = start + 1;  // a character wider than the line: alone on one
    lines.push_back(line.mid(start, end - start));
    start = end;
  }
  return lines;
}

QString IPv6Line(std::string_view dial) {
  return QStringLiteral("IPv6 の相手に伝えるアドレス: %1").arg(Q(dial));
}

std::optional<std::string> GlobalIPv6(std::string_view ifInet6) {
  // Each line: 32 hex digits of address, interface index, prefix length, scope, flags, name.
  constexpr unsigned kTemporary = 0x01, kDadFailed = 0x08, kDeprecated = 0x20, kTentative = 0x40;
  std::istringstream in{std::string(ifInet6)};
  std::string hex, index, prefix, scope, flags, name;
  std::optional<std::string> temporary;
  while (in >> hex >> index >> prefix >> scope >> flags >> name) {
    if (hex.size() != 32 || scope != "00") continue;
    in6_addr a{};
    for (int i = 0; i < 16; ++i) a.s6_addr[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    const unsigned f = static_cast<unsigned>(std::stoul(flags, nullptr, 16));
    if (f & (kDadFailed | kDeprecated | kTentative)) continue;
    // Unique local addresses (fc00::/7) and mapped ones do not reach the internet.
    if ((a.s6_addr[0] & 0xfe) == 0xfc || IN6_IS_ADDR_V4MAPPED(&a)) continue;
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &a, text, sizeof text);
    if (!(f & kTemporary)) return std::string(text);
    if (!temporary) temporary = text;
  }
  return temporary;
}

static std::vector<std::string> InterfaceAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
    addresses.emplace_back(text);
  }
  ::freeifaddrs(list);
  return addresses;
}

// What the router holds for us, and how to reach it again to renew or remove it.
struct PortMap::Mapping {
  bool upnp = false;
  UPNPUrls urls{};
  IGDdatas data{};
  bool haveUrls = false;
  std::string lanAddress;
  natpmp_t np{};
  bool haveNp = false;
  std::uint16_t port = 0;
  std::uint16_t publicPort = 0;
  bool udp = false;  // the datagram port is mapped too
  std::string lease;  // seconds as text, "0" where the router keeps only permanent ones
  Mapping() = default;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() {
    if (haveUrls) FreeUPNPUrls(&urls);
    if (haveNp) closenatpmp(&np);
  }
};

PortMap::PortMap() : PortMap(Options{}) {}

PortMap::PortMap(Options options) : options_(std::move(options)) {
  if (!options_.interfaceAddresses) options_.interfaceAddresses = InterfaceAddresses;
  ready_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  thread_ = std::thread([this] { Work(); });
}

PortMap::~PortMap() {
  {
    std::lock_guard guard(lock_);
    quit_ = true;
  }
  changed_.notify_all();
  thread_.join();
  if (ready_ >= 0) ::close(ready_);
}

void PortMap::Start(std::uint16_t port) {
  {
    std::lock_guard guard(lock_);
    wanted_ = port;
    ++generation_;
    callerAddress_.clear();
  }
  changed_.notify_all();
}

void PortMap::Stop() {
  {
    std::lock_guard guard(lock_);
    if (wanted_ == 0) return;
    wanted_ = 0;
    ++generation_;
    callerAddress_.clear();
    lines_.clear();
  }
  changed_.notify_all();
}

std::vector<QString> PortMap::TakeLines() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(ready_, &count, sizeof count);
  std::lock_guard guard(lock_);
  return std::exchange(lines_, {});
}

std::string PortMap::CallerAddress() const {
  std::lock_guard guard(lock_);
  return callerAddress_;
}

std::optional<PortMapReport> PortMap::LastReport() const {
  std::lock_guard guard(lock_);
  return report_;
}

void PortMap::Tell(const QString& line) {
  for (QString& piece : ChatLines(line)) lines_.push_back(std::move(piece));
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(ready_, &one, sizeof one);
}

// The router is asked only here, without the lock: a Start or Stop meanwhile is seen when the
// answer is in, and a mapping made for a wait that has ended is removed at once.
void PortMap::Work() {
  std::unique_lock lock(lock_);
  unsigned handled = 0;  // a Start before this thread got here is still to be handled
  std::unique_ptr<Mapping> mapping;
  auto renewAt = Clock::time_point::max();
  for (;;) {
    changed_.wait_until(lock, renewAt, [&] { return quit_ || generation_ != handled; });
    if ((quit_ || generation_ != handled) && mapping) {
      auto old = std::move(mapping);
      renewAt = Clock::time_point::max();
      lock.unlock();
      Remove(*old);
      old.reset();
      lock.lock();
      continue;  // anything asked meanwhile is seen on the next round
    }
    if (quit_) return;
    if (generation_ != handled) {
      handled = generation_;
      const std::uint16_t port = wanted_;
      if (port == 0) continue;
      // A global IPv6 address needs no router: offered before the router is asked, and also
      // when the router is to be left alone.
      std::string ifInet6;
      if (std::ifstream file{options_.ifInet6Path}) ifInet6.assign(std::istreambuf_iterator<char>(file), {});
      if (const auto v6 = GlobalIPv6(ifInet6)) {
        callerAddress_ = DialText(*v6, port);
        Tell(IPv6Line(callerAddress_));
      }
      if (enabled_) {
        lock.unlock();
        PortMapReport report;
        auto made = Open(port, report);
        lock.lock();
        report_ = report;
        if (generation_ != handled) {
          mapping = std::move(made);  // the wait ended while the router answered: removed next round
          continue;
        }
        mapping = std::move(made);
        if (mapping) {
          callerAddress_ = DialText(report.external, report.publicPort);
          // At half the lease the router granted (NAT-PMP may grant less than asked).
          const auto granted = std::chrono::seconds(std::stoll(mapping->lease));
          if (granted.count() > 0) renewAt = Clock::now() + std::min<std::chrono::seconds>(granted, options_.lease) / 2;
        }
        Tell(ReportLine(report));
      }
      // The router was asked and forwards nothing: a partner on the same network, or one the
      // player forwards the port for by hand, still needs an address. (Told to leave the router
      // alone, the player knows his way in and hears nothing more.)
      if (enabled_ && !mapping) {
        const auto own = OwnIPv4(options_.interfaceAddresses());
        if (!own.empty()) {
          if (callerAddress_.empty()) callerAddress_ = DialText(own.front(), port);
          Tell(OwnAddressLine(own.front(), port));
        }
      }
      continue;
    }
    if (mapping && Clock::now() >= renewAt) {
      lock.unlock();
      Renew(*mapping);
      lock.lock();
      const auto granted = std::chrono::seconds(std::stoll(mapping->lease));
      renewAt = Clock::now() + std::min<std::chrono::seconds>(granted, options_.lease) / 2;
    }
  }
}

std::unique_ptr<PortMap::Mapping> PortMap::Open(std::uint16_t port, PortMapReport& report) const {
  report = {};
  report.port = port;
  bool answered = false;
  if (auto m = OpenUpnp(port, report, answered)) return m;
  if (answered) return nullptr;
  report = {};
  report.port = port;
  if (auto m = OpenNatPmp(port, report, answered)) return m;
  if (!answered) {
    report = {};
    report.port = port;
    report.result = PortMapResult::NoGateway;
  }
  return nullptr;
}

std::unique_ptr<PortMap::Mapping> PortMap::OpenUpnp(std::uint16_t port, PortMapReport& report, bool& answered) const {
  // Every kind of gateway asked at once, so a silent network costs one wait, not one per kind.
  static const char* const kTypes[] = {
      "urn:schemas-upnp-org:device:InternetGatewayDevice:1", "urn:schemas-upnp-org:device:InternetGatewayDevice:2",
      "urn:schemas-upnp-org:service:WANIPConnection:1",     "urn:schemas-upnp-org:service:WANIPConnection:2",
      "urn:schemas-upnp-org:service:WANPPPConnection:1",    nullptr};
  int error = 0;
  UPNPDev* devices = upnpDiscoverDevices(kTypes, static_cast<int>(options_.discovery.count()), nullptr, nullptr,
                                         UPNP_LOCAL_PORT_ANY, 0, 2, &error, 1);
  if (!devices) return nullptr;
  auto m = std::make_unique<Mapping>();
  char lan[64] = {};
  const int igd = UPNP_GetValidIGD(devices, &m->urls, &m->data, lan, sizeof lan);
  freeUPNPDevlist(devices);
  if (igd == 0) return nullptr;
  m->haveUrls = true;
  if (igd == 3) return nullptr;  // a UPnP device, but no gateway
  answered = true;
  m->upnp = true;
  m->lanAddress = lan;
  m->port = port;
  m->publicPort = port;
  report.via = "UPnP";
  const char* control = m->urls.controlURL;
  const char* service = m->data.first.servicetype;
  char external[64] = {};
  if (UPNP_GetExternalIPAddress(control, service, external) == 0) report.external = external;
  // A gateway "not connected" has no outside address of its own to offer (it says so when that
  // address is private, as a router behind another router does).
  if (igd == 2 || !IsPublicIPv4(report.external)) {
    if (report.external == "0.0.0.0") report.external.clear();
    report.result = PortMapResult::NotPublic;
    return nullptr;
  }
  const std::string p = std::to_string(port);
  m->lease = std::to_string(options_.lease.count());
  auto add = [&](const char* protocol) {
    int r = UPNP_AddPortMapping(control, service, p.c_str(), p.c_str(), lan, options_.description.c_str(), protocol,
                                nullptr, m->lease.c_str());
    if (r == kUpnpOnlyPermanent) {
      m->lease = "0";
      r = UPNP_AddPortMapping(control, service, p.c_str(), p.c_str(), lan, options_.description.c_str(), protocol,
                              nullptr, m->lease.c_str());
    }
    return r;
  };
  int r = add("TCP");
  if (r == kUpnpConflict) {
    char client[64] = {}, clientPort[8] = {}, desc[80] = {}, enabled[4] = {}, lease[16] = {};
    UPNP_GetSpecificPortMappingEntry(control, service, p.c_str(), "TCP", nullptr, client, clientPort, desc, enabled,
                                     lease);
    if (m->lanAddress == client) {
      // Our own, left by a run that ended without removing it: made afresh.
      UPNP_DeletePortMapping(control, service, p.c_str(), "TCP", nullptr);
      r = add("TCP");
    } else {
      report.result = PortMapResult::Taken;
      report.holder = client[0] ? client : "?";
      return nullptr;
    }
  }
  if (r != 0) {
    report.result = PortMapResult::Refused;
    report.reason = UpnpReason(r);
    return nullptr;
  }
  m->udp = add("UDP") == 0;
  report.result = PortMapResult::Mapped;
  report.publicPort = port;
  return m;
}

std::unique_ptr<PortMap::Mapping> PortMap::OpenNatPmp(std::uint16_t port, PortMapReport& report,
                                                      bool& answered) const {
  auto m = std::make_unique<Mapping>();
  if (initnatpmp(&m->np, 0, 0) < 0) return nullptr;  // no default route: no gateway to ask
  m->haveNp = true;
  natpmpresp_t response{};
  sendpublicaddressrequest(&m->np);
  int r = NatPmpAnswer(m->np, response, Clock::now() + options_.discovery);
  // Silence, or "port unreachable" from a router without NAT-PMP.
  if (r == NATPMP_TRYAGAIN || r == NATPMP_ERR_RECVFROM || r == NATPMP_ERR_NOGATEWAYSUPPORT) return nullptr;
  answered = true;
  report.via = "NAT-PMP";
  if (r == NATPMP_ERR_NETWORKFAILURE) {  // the router has no outside address it could offer
    report.result = PortMapResult::NotPublic;
    return nullptr;
  }
  if (r < 0) {
    report.result = PortMapResult::Refused;
    report.reason = NatPmpReason(r);
    return nullptr;
  }
  char external[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &response.pnu.publicaddress.addr, external, sizeof external);
  report.external = external;
  if (!IsPublicIPv4(report.external)) {
    report.result = PortMapResult::NotPublic;
    return nullptr;
  }
  const auto lease = static_cast<std::uint32_t>(options_.lease.count());
  sendnewportmappingrequest(&m->np, NATPMP_PROTOCOL_TCP, port, port, lease);
  r = NatPmpAnswer(m->np, response, Clock::now() + options_.discovery);
  if (r < 0) {
    report.result = PortMapResult::Refused;
    report.reason = r == NATPMP_TRYAGAIN ? std::string("no answer") : NatPmpReason(r);
    return nullptr;
  }
  m->port = port;
  m->publicPort = response.pnu.newportmapping.mappedpublicport;
  m->lease = std::to_string(response.pnu.newportmapping.lifetime);
  // The datagram line is dialled on the same number as the stream.
  sendnewportmappingrequest(&m->np, NATPMP_PROTOCOL_UDP, port, m->publicPort, lease);
  m->udp = NatPmpAnswer(m->np, response, Clock::now() + options_.discovery) == 0;
  report.result = PortMapResult::Mapped;
  report.publicPort = m->publicPort;
  return m;
}

void PortMap::Renew(Mapping& m) const {
  const std::string p = std::to_string(m.port);
  if (m.upnp) {
    for (const char* protocol : {"TCP", "UDP"}) {
      UPNP_AddPortMapping(m.urls.controlURL, m.data.first.servicetype, p.c_str(), p.c_str(), m.lanAddress.c_str(),
                          options_.description.c_str(), protocol, nullptr, m.lease.c_str());
    }
    return;
  }
  natpmpresp_t response{};
  for (int protocol : {NATPMP_PROTOCOL_TCP, NATPMP_PROTOCOL_UDP}) {
    sendnewportmappingrequest(&m.np, protocol, m.port, m.publicPort, static_cast<std::uint32_t>(options_.lease.count()));
    NatPmpAnswer(m.np, response, Clock::now() + options_.discovery);
  }
}

void PortMap::Remove(Mapping& m) const {
  const std::string p = std::to_string(m.port);
  if (m.upnp) {
    UPNP_DeletePortMapping(m.urls.controlURL, m.data.first.servicetype, p.c_str(), "TCP", nullptr);
    if (m.udp) UPNP_DeletePortMapping(m.urls.controlURL, m.data.first.servicetype, p.c_str(), "UDP", nullptr);
    return;
  }
  natpmpresp_t response{};
  // A lifetime of 0 removes the mapping.
  sendnewportmappingrequest(&m.np, NATPMP_PROTOCOL_TCP, m.port, m.publicPort, 0);
  NatPmpAnswer(m.np, response, Clock::now() + kRemoveTime);
  if (m.udp) {
    sendnewportmappingrequest(&m.np, NATPMP_PROTOCOL_UDP, m.port, m.publicPort, 0);
    NatPmpAnswer(m.np, response, Clock::now() + kRemoveTime);
  }
}

}  // namespace modem
