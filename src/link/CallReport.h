#pragma once

#include <QString>
#include <cstdint>

#include "link/ChatLog.h"
#include "link/LinkViews.h"
#include "modem/CallStatus.h"

// What the players see of the built-in modem beyond the bytes on its line, from the modem's
// status looked at again and again: that it waits and on which port, how the call standing is
// protected (confirmed by the password, or open with the check code to compare), and, in the
// chat, what happened at the door while it waited. Each event is told once, however often the
// status is looked at. UI thread.
class CallReport final {
 public:
  CallReport(CallStateView& view, ChatLog& chat) : view_(view), chat_(chat) {}
  CallReport(const CallReport&) = delete;
  CallReport& operator=(const CallReport&) = delete;

  void Update(const modem::CallStatus& status);

  // The status bar's text and hint for a status.
  static QString StateText(const modem::CallStatus& status);
  static QString StateHint(const modem::CallStatus& status);

 private:
  void TellWrongPasswords(int count);

  CallStateView& view_;
  ChatLog& chat_;
  // The wait from the modem's ATS0=1 until it ends; the door's counters start again with it.
  struct Wait {
    bool on = false;
    std::uint16_t port = 0;
    int wrongPasswordsTold = 0;
    bool crowdTold = false;
  } wait_;
  bool carrier_ = false;
};
