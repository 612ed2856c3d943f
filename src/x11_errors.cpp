// display-loss-test: zlib licence, see LICENSE.
//
// Xlib's own handlers call exit() on whichever thread met the error, and the
// library's exit handler then runs while its other thread is still inside the
// library: a crash or a hang. These handlers end the run instead. A request
// of the program's own (reading the layout) is grabbed: a CRTC that vanished
// between two of them is not a reason to end the run.

#include "x11_desktop.h"
#include "x11_internal.h"

#include <atomic>
#include <cstdlib>

namespace
{

std::atomic<bool> x_error{false};
std::atomic<Display *> grabbed{nullptr};
std::atomic<bool> grabbed_error{false};

// Xlib's handler type takes the connection as it is.
// cppcheck-suppress [constParameter, constParameterCallback]
extern "C" int record_x_error(Display *x, XErrorEvent *)
{
    if (x != grabbed)
        x_error = true;
    else
        grabbed_error = true;
    return 0;
}

// Xlib must not get control back from here: it would exit(). The process
// ends at once, with no exit handler, as the library's other threads may be
// inside the library still; the watcher gives the desktop its layout back.
extern "C" int end_at_once(Display *)
{
    std::_Exit(1);
}

} // namespace

void take_x_errors()
{
    XSetErrorHandler(record_x_error);
    XSetIOErrorHandler(end_at_once);
}

void grab_x_errors(Display *x)
{
    XSync(x, False);
    grabbed = x;
    grabbed_error = false;
}

bool x_requests_taken(Display *x)
{
    XSync(x, False);
    return !grabbed_error.exchange(false);
}

void release_x_errors(Display *x)
{
    XSync(x, False);
    grabbed = nullptr;
}

bool x11_error_happened()
{
    return x_error;
}
