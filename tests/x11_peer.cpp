// What the end-to-end checks need of X that xdotool does not do:
//   x11-peer window     maps a small window of its own, prints its id, and
//                       stays until killed: somewhere to switch focus to.
//   x11-peer close ID   asks window ID to close, as a window manager's close
//                       button does (WM_PROTOCOLS / WM_DELETE_WINDOW).
//   x11-peer escape ID  sends window ID an Escape press and release as
//                       events: under Debian testing's KWin on Wayland, keys
//                       pressed on the server (xdotool's XTEST) do not reach
//                       X programs.
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static int map_window(Display *x)
{
    const Window window = XCreateSimpleWindow(x, DefaultRootWindow(x), 300, 300,
                                              100, 100, 0, 0, 0xffffff);
    XStoreName(x, window, "x11-peer");
    XSelectInput(x, window, StructureNotifyMask);
    XMapWindow(x, window);
    XEvent event;
    do
        XNextEvent(x, &event);
    while (event.type != MapNotify);
    std::printf("%lu\n", window);
    std::fflush(stdout);
    for (;;)
        XNextEvent(x, &event);
}

static bool window_id(const char *id, Window *window)
{
    char *end;
    *window = std::strtoul(id, &end, 0);
    if (*id == '\0' || *end != '\0') {
        std::fprintf(stderr, "x11-peer: not a window id: %s\n", id);
        return false;
    }
    return true;
}

static int request_close(Display *x, Window window)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] =
        static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(x, window, False, NoEventMask, &event);
    XSync(x, False);
    return 0;
}

static int press_escape(Display *x, Window window)
{
    XEvent event{};
    event.xkey.window = window;
    event.xkey.root = DefaultRootWindow(x);
    event.xkey.same_screen = True;
    event.xkey.keycode = XKeysymToKeycode(x, XK_Escape);
    event.xkey.type = KeyPress;
    XSendEvent(x, window, True, KeyPressMask, &event);
    event.xkey.type = KeyRelease;
    XSendEvent(x, window, True, KeyReleaseMask, &event);
    XSync(x, False);
    return 0;
}

int main(int argc, char **argv)
{
    const bool window = argc == 2 && std::strcmp(argv[1], "window") == 0;
    const bool close = argc == 3 && std::strcmp(argv[1], "close") == 0;
    const bool escape = argc == 3 && std::strcmp(argv[1], "escape") == 0;
    Window target = 0;
    if (!window && !close && !escape) {
        std::fprintf(stderr,
                     "usage: x11-peer window | x11-peer close|escape ID\n");
        return 2;
    }
    if (!window && !window_id(argv[2], &target))
        return 2;
    Display *x = XOpenDisplay(nullptr);
    if (!x) {
        std::fprintf(stderr, "x11-peer: cannot open the X display\n");
        return 1;
    }
    if (window)
        return map_window(x);
    return close ? request_close(x, target) : press_escape(x, target);
}
