// display-loss-test: zlib licence, see LICENSE.
//
// What the X11 files share: the program's Xlib error policy
// (x11_errors.cpp), and reading and applying the desktop's layout through
// RandR (x11_randr.cpp). The watcher (x11_watcher.cpp) uses both.
#pragma once

#include "x11_layout.h"

#include <X11/Xlib.h>

// Xlib's errors and a lost connection handled by the program: an error of
// the library's requests ends the run, a lost connection ends the process
// at once.
void take_x_errors();
// From here until release_x_errors, an error of a request on `x`, one of
// the program's own connections, is passed over: it does not end the run,
// and what the request would have read is left out.
void grab_x_errors(Display *x);
void release_x_errors(Display *x);
// Whether the server took every grabbed request on `x` since the grab, or
// since this was last asked.
bool x_requests_taken(Display *x);

// The screen's layout as the server shows it now; false where it has no
// RandR. Errors of the reading are caught: a CRTC or output that vanished
// meanwhile is left out.
bool read_layout(Display *x, Layout &layout);
// Sets what differs between `now` and `wanted` (set_layout), each request's
// outcome checked.
void apply_layout(Display *x, const Layout &now, const Layout &wanted);
