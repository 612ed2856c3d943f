// display-loss-test: zlib licence, see LICENSE.
//
// Xlib's own handlers call exit() on whichever thread met the error, and the
// library's exit handler then runs while its other thread is still inside the
// library: a crash or a hang. These handlers end the run instead, and where
// the connection is lost while the X server lives on (xkill, or a window
// manager that closes a window by cutting its client off), they give the
// desktop its mode back over a connection of their own, since the library
// can no longer.

#include "x11_desktop.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace
{

struct Crtc {
    RRCrtc id;
    int x;
    int y;
    RRMode mode;
    Rotation rotation;
    std::vector<RROutput> outputs;
};

// Open from before the display is asked for until its mode is noted: an X
// server with no other client starts over when its last client leaves, and
// the library's connection would meet it doing so.
Display *own_connection = nullptr;
// Written before the library starts a thread of its own; read by the handler.
std::vector<Crtc> desktop_crtcs;
// Written once the display exists, on the main thread, and read by the
// handler, on whichever thread lost the connection, only once published.
std::vector<Crtc> display_crtcs;
std::atomic<bool> display_crtcs_noted{false};
std::atomic<bool> x_error{false};

XRRScreenResources *screen_resources(Display *x)
{
    int event_base;
    int error_base;
    if (!XRRQueryExtension(x, &event_base, &error_base))
        return nullptr;
    return XRRGetScreenResourcesCurrent(x, DefaultRootWindow(x));
}

std::vector<Crtc> read_crtcs(Display *x, XRRScreenResources *resources)
{
    std::vector<Crtc> crtcs;
    for (int i = 0; i < resources->ncrtc; ++i) {
        XRRCrtcInfo *info = XRRGetCrtcInfo(x, resources, resources->crtcs[i]);
        if (!info)
            continue;
        crtcs.push_back({resources->crtcs[i],
                         info->x,
                         info->y,
                         info->mode,
                         info->rotation,
                         {info->outputs, info->outputs + info->noutput}});
        XRRFreeCrtcInfo(info);
    }
    return crtcs;
}

// The screen's CRTCs as they are now; none where there is no RandR.
std::vector<Crtc> current_crtcs(Display *x)
{
    std::vector<Crtc> crtcs;
    if (XRRScreenResources *resources = screen_resources(x)) {
        crtcs = read_crtcs(x, resources);
        XRRFreeScreenResources(resources);
    }
    return crtcs;
}

const Crtc *find_crtc(const std::vector<Crtc> &crtcs, RRCrtc id)
{
    const auto found = std::find_if(crtcs.begin(), crtcs.end(),
                                    [id](const Crtc &c) { return c.id == id; });
    return found == crtcs.end() ? nullptr : &*found;
}

// Each CRTC that still shows the mode the display set gets the desktop's
// back; one that another client has changed since keeps that client's mode.
void give_mode_back(Display *x)
{
    XRRScreenResources *resources = screen_resources(x);
    if (!resources)
        return;
    const bool display_noted = display_crtcs_noted;
    for (const Crtc &now : read_crtcs(x, resources)) {
        const Crtc *desktop = find_crtc(desktop_crtcs, now.id);
        if (!desktop || now.mode == desktop->mode)
            continue;
        // Lost before the display's mode was noted, the change can only be
        // the display's own.
        if (display_noted) {
            const Crtc *display = find_crtc(display_crtcs, now.id);
            if (!display || now.mode != display->mode)
                continue;
        }
        std::vector<RROutput> outputs = desktop->outputs;
        XRRSetCrtcConfig(x, resources, now.id, CurrentTime, desktop->x,
                         desktop->y, desktop->mode, desktop->rotation,
                         outputs.data(), static_cast<int>(outputs.size()));
    }
    XSync(x, False);
}

extern "C" int record_x_error(Display *, XErrorEvent *)
{
    x_error = true;
    return 0;
}

// Xlib must not get control back from here: it would exit(). The process
// ends at once, with no exit handler, as the library's other thread may be
// inside the library still.
extern "C" int give_mode_back_and_exit(Display *)
{
    static std::atomic<bool> started{false};
    static thread_local bool giving_back = false;
    // The new connection was lost too: the server is going.
    if (giving_back)
        std::_Exit(1);
    // Another thread lost the connection first; it ends the process.
    if (started.exchange(true))
        for (;;)
            pause();
    giving_back = true;
    if (Display *x = XOpenDisplay(nullptr))
        give_mode_back(x);
    std::_Exit(1);
}

} // namespace

void watch_x11_desktop()
{
    XSetErrorHandler(record_x_error);
    XSetIOErrorHandler(give_mode_back_and_exit);
    // Xlib writes why a connection was refused (no X cookie, say) on
    // standard error; the library's own attempt writes it once already.
    const int saved_stderr = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    close(null);
    own_connection = XOpenDisplay(nullptr);
    dup2(saved_stderr, STDERR_FILENO);
    close(saved_stderr);
    if (own_connection)
        desktop_crtcs = current_crtcs(own_connection);
}

void note_x11_display_mode()
{
    if (!own_connection)
        return;
    display_crtcs = current_crtcs(own_connection);
    display_crtcs_noted = true;
    XCloseDisplay(own_connection);
    own_connection = nullptr;
}

bool x11_error_happened()
{
    return x_error;
}
