#pragma once

#include <sys/types.h>
#include <string>

// A JACK server on the dummy driver, private to one test: started under a name of its own,
// made the default server of this process (JACK_DEFAULT_SERVER), stopped on destruction.
// A period is `framesPerPeriod` frames at 48 kHz.
class JackServer {
 public:
  // Synchronous: the server waits for every client each cycle, so a test client slowed down
  // by a sanitizer misses no MIDI event. Asynchronous is how jackd runs unless told otherwise.
  enum class Mode { Synchronous, Asynchronous };
  explicit JackServer(int framesPerPeriod = 256, Mode mode = Mode::Synchronous);
  ~JackServer();
  JackServer(const JackServer&) = delete;
  JackServer& operator=(const JackServer&) = delete;

  // False when jackd could not be started or did not answer in time; Error() says why.
  bool Running() const { return running_; }
  const std::string& Name() const { return name_; }
  const std::string& Error() const { return error_; }
  // Stops and continues the server process (SIGSTOP, SIGCONT): a stalled server.
  void Pause();
  void Resume();

 private:
  std::string name_;
  std::string error_;
  pid_t pid_ = -1;
  bool running_ = false;
};
