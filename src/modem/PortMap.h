#pragma once

#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Opens the modem's listening port in the home router while the modem waits for a call, so a
// caller on the internet reaches it without the player forwarding the port by hand: UPnP IGD
// first, then NAT-PMP. The talking to the router happens on a thread of its own, since a
// router may take seconds to answer or never answer; the modem's loop only picks up the lines
// for the user when they are ready.
namespace modem {

// The longest line the chat window shows without a horizontal scroll bar, in Shift-JIS bytes.
constexpr int kChatLineBytes = 52;

// What asking the router came to.
enum class PortMapResult {
  Mapped,     // the router forwards the port; `external` is its outside address
  NoGateway,  // no router answered UPnP or NAT-PMP
  Refused,    // the router would not map the port; `reason` says why
  NotPublic,  // the router's own outside address is private or shared (double NAT, CGNAT)
  Taken,      // the router maps the port to another machine (`holder`) already
};

struct PortMapReport {
  PortMapResult result = PortMapResult::NoGateway;
  std::string via;       // "UPnP" or "NAT-PMP", for Mapped and Refused
  std::string external;  // the router's outside address, when known
  std::uint16_t port = 0;        // the port the modem listens on
  std::uint16_t publicPort = 0;  // the port on the router's outside (Mapped)
  std::string reason;            // Refused: the router's words
  std::string holder;            // Taken: the machine the port goes to now
};

// True for an IPv4 address a caller on the internet can reach: not private (RFC 1918), not
// shared (100.64.0.0/10), not loopback, link-local, "this network", multicast or reserved.
bool IsPublicIPv4(std::string_view address);
// An address and port as the destination field takes them: "192.0.2.7:24680", "[2001:db8::7]:24680".
std::string DialText(std::string_view address, std::uint16_t port);
// The line the user reads for a report, in the program's words.
QString ReportLine(const PortMapReport& report);
// The line that offers a global IPv6 address of this machine (`dial` as DialText gives it).
QString IPv6Line(std::string_view dial);
// Of this machine's IPv4 addresses, the ones a caller could dial: public ones an interface holds
// first, then the local network's; never loopback, link-local or "this network".
std::vector<std::string> OwnIPv4(const std::vector<std::string>& interfaceAddresses);
// The line that offers one of this machine's own IPv4 addresses; for one of the local network's,
// with the way a caller on the internet gets in.
QString OwnAddressLine(std::string_view address, std::uint16_t port);
// A line of the modem's cut into lines of at most `maxBytes` bytes as Shift-JIS carries them, so
// that the chat window shows it whole without a horizontal scroll bar: after a comma, a full
// stop, a closing bracket or a space where one falls, never inside an address. Nothing is
// dropped: the lines joined are the line.
std::vector<QString> ChatLines(const QString& line, int maxBytes = kChatLineBytes);
// A global IPv6 address of this machine that a caller can dial without any mapping, if it has
// one: a stable one before a temporary one. `ifInet6` is the text of /proc/net/if_inet6.
std::optional<std::string> GlobalIPv6(std::string_view ifInet6);

class PortMap {
 public:
  struct Options {
    std::string description = "Sonavel";  // how the router lists the mapping
    std::chrono::milliseconds discovery{1000};  // for each of UPnP and NAT-PMP to answer
    std::chrono::seconds lease{600};            // renewed at half time while the wait lasts
    std::string ifInet6Path = "/proc/net/if_inet6";
    // This machine's IPv4 addresses as text; the interfaces' by default.
    std::function<std::vector<std::string>()> interfaceAddresses;
  };

  PortMap();
  explicit PortMap(Options options);
  // Removes a mapping that stands (waiting for the router a short while) and ends the thread.
  ~PortMap();
  PortMap(const PortMap&) = delete;
  PortMap& operator=(const PortMap&) = delete;

  // Whether the next Start asks the router at all; any thread.
  void SetEnabled(bool on) { enabled_ = on; }
  bool Enabled() const { return enabled_; }
  // The port to open from now on, TCP and UDP alike. Returns at once.
  void Start(std::uint16_t port);
  // The wait is over: the mapping goes. Returns at once.
  void Stop();

  // Readable while lines for the user wait in TakeLines.
  int ReadyFd() const { return ready_; }
  std::vector<QString> TakeLines();
  // What the partner should dial while the wait lasts ("203.0.113.5:24680", the router's
  // outside address once the mapping stands, else a global IPv6 address, else this machine's own
  // IPv4 address once the router has not opened the port); empty when there is none. Any thread.
  std::string CallerAddress() const;
  // The last report of the router, for tests and the command line; nothing before the first.
  std::optional<PortMapReport> LastReport() const;

 private:
  struct Mapping;
  void Work();
  std::unique_ptr<Mapping> Open(std::uint16_t port, PortMapReport& report) const;
  std::unique_ptr<Mapping> OpenUpnp(std::uint16_t port, PortMapReport& report, bool& answered) const;
  std::unique_ptr<Mapping> OpenNatPmp(std::uint16_t port, PortMapReport& report, bool& answered) const;
  void Renew(Mapping& mapping) const;
  void Remove(Mapping& mapping) const;
  void Tell(const QString& line);  // with lock_ held

  Options options_;
  std::atomic<bool> enabled_{true};
  int ready_ = -1;

  mutable std::mutex lock_;
  std::condition_variable changed_;
  bool quit_ = false;
  std::uint16_t wanted_ = 0;  // the port the modem listens on, 0 while it does not
  unsigned generation_ = 0;   // bumped by each Start and Stop: a quick Stop-Start is a new wait
  std::vector<QString> lines_;
  std::string callerAddress_;
  std::optional<PortMapReport> report_;

  std::thread thread_;
};

}  // namespace modem
