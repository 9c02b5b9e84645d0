#pragma once

#include <sys/types.h>
#include <QTemporaryDir>
#include <atomic>
#include <cstdint>
#include <string>

struct pw_thread_loop;
struct pw_stream;

// A headless PipeWire private to one test (scripts/pipewire-session): a runtime folder of its
// own made this process's XDG_RUNTIME_DIR, a null sink as the default output. Stopped on
// destruction, by process id.
class PipeWireSession {
 public:
  // `quantum` > 0 holds the graph at that many frames.
  explicit PipeWireSession(int quantum = 0);
  ~PipeWireSession();
  PipeWireSession(const PipeWireSession&) = delete;
  PipeWireSession& operator=(const PipeWireSession&) = delete;

  bool Running() const { return running_; }
  const std::string& Error() const { return error_; }
  QString RuntimeDir() const { return dir_.path(); }
  // Stops the sound servers, leaving the session: the desktop's sound going away mid-run.
  void StopServers();
  // Forces the graph to `rate`, as another program asking for its own rate does. Returns at
  // once; the graph follows soon after.
  void ForceRate(int rate);

 private:
  QTemporaryDir dir_;
  std::string error_;
  pid_t pid_ = -1;    // dbus-run-session
  pid_t inner_ = -1;  // the script inside it
  bool running_ = false;
};

// What the null sink plays, heard through its monitor by a capture stream of our own.
class SinkMonitor {
 public:
  SinkMonitor();
  ~SinkMonitor();
  SinkMonitor(const SinkMonitor&) = delete;
  SinkMonitor& operator=(const SinkMonitor&) = delete;

  bool Listening() const { return stream_ != nullptr; }
  // The loudest sample heard since the last call.
  float TakePeak() { return peak_.exchange(0.0f); }
  // Frames heard so far.
  std::uint64_t Frames() const { return frames_.load(); }

 private:
  static void Process(void* self);
  pw_thread_loop* loop_ = nullptr;
  pw_stream* stream_ = nullptr;
  std::atomic<float> peak_{0.0f};
  std::atomic<std::uint64_t> frames_{0};
};
