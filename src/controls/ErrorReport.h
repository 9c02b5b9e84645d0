#pragma once

#include <QString>
#include <functional>

// The program's one error reporter: a message box with the message, as plain text (a message
// may carry a file name or what the peer sent). Every error boundary hands its errors here:
// the main window's handlers, the MIDI input, the serial inbox, the timers, and notify() as the
// last resort.
//
// One box at a time, and never inside the handler that failed: the box opens from the event
// loop once the failing handler has returned, so a burst of failures (a controller stream, a
// stalled line) cannot stack boxes inside each other's event loops. While a box is up, the same
// text again is counted in it; a different text waits for the one box that may follow when the
// first closes, and anything arriving after that is counted in the follow-up. The text just
// closed does not come straight back: for a few seconds it is dropped. UI thread only.
namespace ErrorReport {

void Show(const QString& message);

// Runs `then` once no report is waiting or showing: at once when none is. The shutdown uses it
// to end the event loop only after its report has been seen.
void WhenIdle(std::function<void()> then);

// Reports shown or waiting to be shown now (0 when idle).
bool Busy();

}  // namespace ErrorReport
