#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// Two network namespaces joined by the link emulator: a path with a set one-way delay, jitter and
// loss, for tests and benchmarks of what the internet does to a call. Made by the constructor,
// torn down by the destructor (namespaces whose maker died are cleaned up by the next one made).
// Needs root and /dev/net/tun; Possible() says why not.
//
// Side A has the address 192.0.2.1, side B 192.0.2.2 (a documentation range that no real host
// has), each on a TUN device that exists only inside its namespace.
struct LinkSettings {
  double delayMs = 20;  // one way
  double jitterMs = 0;  // added to the delay, uniformly 0..jitter, order kept
  double loss = 0;      // share of packets lost, each way
  double burst = 1;     // mean length of a run of lost packets; 1: independent losses
  std::uint64_t seed = 1;
};

class EmulatedLink {
 public:
  static constexpr const char* kAddressA = "192.0.2.1";
  static constexpr const char* kAddressB = "192.0.2.2";

  explicit EmulatedLink(const LinkSettings& settings);
  ~EmulatedLink();
  EmulatedLink(const EmulatedLink&) = delete;
  EmulatedLink& operator=(const EmulatedLink&) = delete;

  // Empty when the link can be made here; else why not.
  static std::string Possible();
  bool Ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }
  const std::string& NamespaceA() const { return nsA_; }
  const std::string& NamespaceB() const { return nsB_; }

  // A command to the emulator ("down", "up", "loss 0.02 3"); true once it took it.
  bool Command(const std::string& line);
  // Runs `f` with the calling thread inside the namespace: sockets made there stay there, and
  // threads started there (a modem's) live there.
  template <class F>
  decltype(auto) InA(F&& f) const {
    Inside scope(nsA_);
    return f();
  }
  template <class F>
  decltype(auto) InB(F&& f) const {
    Inside scope(nsB_);
    return f();
  }
  // Runs a shell command in a namespace; its exit status.
  int Run(const std::string& ns, const std::string& command) const;

 private:
  class Inside {
   public:
    explicit Inside(const std::string& ns);
    ~Inside();
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

   private:
    int home_ = -1;
  };
  void TearDown();

  std::string nsA_, nsB_;
  std::string error_;
  pid_t emulator_ = -1;
  int toEmulator_ = -1;
  int fromEmulator_ = -1;
};
