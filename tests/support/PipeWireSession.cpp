#include "support/PipeWireSession.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QFile>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <thread>

PipeWireSession::PipeWireSession(int quantum) {
  if (!dir_.isValid()) {
    error_ = "no temporary folder";
    return;
  }
  const std::string runtime = dir_.path().toStdString();
  const std::string script = SONAVEL_SOURCE_DIR "/scripts/pipewire-session";
  const std::string frames = quantum > 0 ? std::to_string(quantum) : std::string();
  pid_ = fork();
  if (pid_ < 0) {
    error_ = "fork failed";
    return;
  }
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    execl(script.c_str(), script.c_str(), runtime.c_str(), frames.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  unsetenv("PULSE_SERVER");
  unsetenv("PIPEWIRE_REMOTE");

  // Waiting for a server to come up is the one place a test may wait on the clock.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      error_ = "pipewire-session exited at start (status " + std::to_string(status) + ")";
      pid_ = -1;
      return;
    }
    if (QFile::exists(dir_.filePath(QStringLiteral("ready")))) {
      QFile pidFile(dir_.filePath(QStringLiteral("session.pid")));
      if (pidFile.open(QIODevice::ReadOnly)) inner_ = pidFile.readAll().trimmed().toInt();
      running_ = inner_ > 0;
      if (!running_) error_ = "no session.pid";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  error_ = "PipeWire did not come up within 20 s";
}

void PipeWireSession::StopServers() {
  if (inner_ > 0) kill(inner_, SIGUSR1);
}

void PipeWireSession::ForceRate(int rate) {
  // The session's script runs the command: a process forked from here, with the sound threads
  // running, is more than a thread sanitizer follows.
  QFile file(dir_.filePath(QStringLiteral("force-rate")));
  if (file.open(QIODevice::WriteOnly)) file.write(QByteArray::number(rate));
  file.close();
  if (inner_ > 0) kill(inner_, SIGUSR2);
}

PipeWireSession::~PipeWireSession() {
  if (inner_ > 0) kill(inner_, SIGTERM);
  if (pid_ > 0) {
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  unsetenv("XDG_RUNTIME_DIR");
}

SinkMonitor::SinkMonitor() {
  pw_init(nullptr, nullptr);
  loop_ = pw_thread_loop_new("sink-monitor", nullptr);
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.process = Process;
    return e;
  }();
  pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                           PW_KEY_STREAM_CAPTURE_SINK, "true", PW_KEY_NODE_NAME,
                                           "sink-monitor", nullptr);
  stream_ = pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "sink-monitor", props, &events, this);
  if (stream_ == nullptr) return;
  std::uint8_t buffer[512];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.channels = 2;
  info.rate = 48000;
  const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  pw_thread_loop_start(loop_);
  pw_thread_loop_lock(loop_);
  const int connected = pw_stream_connect(
      stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                   PW_STREAM_FLAG_RT_PROCESS),
      params, 1);
  pw_thread_loop_unlock(loop_);
  if (connected < 0) {
    pw_thread_loop_stop(loop_);
    pw_stream_destroy(stream_);
    stream_ = nullptr;
  }
}

SinkMonitor::~SinkMonitor() {
  pw_thread_loop_stop(loop_);
  if (stream_ != nullptr) pw_stream_destroy(stream_);
  pw_thread_loop_destroy(loop_);
}

void SinkMonitor::Process(void* self) {
  auto* m = static_cast<SinkMonitor*>(self);
  pw_buffer* b = pw_stream_dequeue_buffer(m->stream_);
  if (b == nullptr) return;
  const spa_data& d = b->buffer->datas[0];
  if (d.data != nullptr && d.chunk != nullptr) {
    const auto* samples = reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(d.data) + d.chunk->offset);
    const std::uint32_t count = d.chunk->size / sizeof(float);
    float peak = 0.0f;
    for (std::uint32_t i = 0; i < count; ++i) peak = std::max(peak, std::fabs(samples[i]));
    float seen = m->peak_.load();
    while (peak > seen && !m->peak_.compare_exchange_weak(seen, peak)) {
    }
    m->frames_.fetch_add(count / 2);
  }
  pw_stream_queue_buffer(m->stream_, b);
}
