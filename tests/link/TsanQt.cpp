// Qt from the distribution is not built with ThreadSanitizer: the mutex that guards a thread's
// posted-event list is invisible to it, so two threads posting to the UI thread look like a race
// on Qt's own list. Allocations made inside Qt are left out of the checking; our own code stays in.
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libQt6Core.so.6\n"; }
