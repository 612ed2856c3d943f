// display-loss-test: zlib licence, see LICENSE.
//
// The signals that end a run: SIGINT and SIGTERM everywhere, and SIGHUP,
// SIGQUIT and SIGPIPE where POSIX has them. From the display request on, the
// first one only ends the loop, so that the display is destroyed and the
// desktop gets its mode back; restoring the signals then ends the process by
// it, as an interrupted program ends, and its caller sees that. A second one
// ends the process at once, by that signal: the loop may never come back (a
// drawing thread stuck inside the driver). A signal that was ignored at
// start (nohup, a background job) stays ignored.
#pragma once

// Just before the display is asked for.
void catch_ending_signals();
// Whether an ending signal has come since.
bool ending_signal_caught();
// Once the display is released: the signals' earlier actions back, and the
// process ended by the signal that came, if one did.
void restore_ending_signals();
