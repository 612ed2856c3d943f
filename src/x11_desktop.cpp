// display-loss-test: zlib licence, see LICENSE.
//
// Xlib's own handlers call exit() on whichever thread met the error, and the
// library's exit handler then runs while its other thread is still inside the
// library: a crash or a hang. These handlers end the run instead.
//
// A process that dies before the library gives the desktop its mode back
// (SIGKILL, a crash, a lost connection) leaves the screen at 800x600. So a
// watcher, a process of the program's own started before the library starts
// any thread, waits for the program's end, however it comes, and then gives
// the mode back over a connection of its own.

#include "x11_desktop.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace
{

struct Crtc {
    RRCrtc id = None;
    int x = 0;
    int y = 0;
    RRMode mode = None;
    Rotation rotation = RR_Rotate_0;
    std::vector<RROutput> outputs;
};

// What the watcher learns of the display's mode, over its pipe.
struct DisplayCrtc {
    RRCrtc id = None;
    RRMode mode = None;
};

constexpr char watcher_name[] = "dlt-watcher";
// Its work once the program has ended, at most.
constexpr unsigned watcher_seconds = 2;

// Open from before the display is asked for until its mode is noted: an X
// server with no other client starts over when its last client leaves, and
// the library's connection would meet it doing so.
Display *own_connection = nullptr;
// The desktop's CRTCs before the display is asked for; the watcher has its
// own copy from the fork.
std::vector<Crtc> desktop_crtcs;
// The program's end of the watcher's pipe: the watcher reads the display's
// mode from it, and its end of file once the program has ended.
int watcher_pipe = -1;
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

template <typename Record>
const Record *find_crtc(const std::vector<Record> &crtcs, RRCrtc id)
{
    const auto found =
        std::find_if(crtcs.begin(), crtcs.end(),
                     [id](const Record &c) { return c.id == id; });
    return found == crtcs.end() ? nullptr : &*found;
}

// Each CRTC that still shows the mode the display set gets the desktop's
// back; one that another client has changed since keeps that client's mode.
// Where the display's mode was never noted, the program ended before the
// display was made or just after, and a change can only be the display's.
void give_mode_back(Display *x, const std::vector<DisplayCrtc> *display_crtcs)
{
    XRRScreenResources *resources = screen_resources(x);
    if (!resources)
        return;
    for (const Crtc &now : read_crtcs(x, resources)) {
        const Crtc *desktop = find_crtc(desktop_crtcs, now.id);
        if (!desktop || now.mode == desktop->mode)
            continue;
        if (display_crtcs) {
            const DisplayCrtc *display = find_crtc(*display_crtcs, now.id);
            if (!display || now.mode != display->mode)
                continue;
        }
        std::vector<RROutput> outputs = desktop->outputs;
        XRRSetCrtcConfig(x, resources, now.id, CurrentTime, desktop->x,
                         desktop->y, desktop->mode, desktop->rotation,
                         outputs.data(), static_cast<int>(outputs.size()));
    }
    XRRFreeScreenResources(resources);
    XSync(x, False);
}

extern "C" int record_x_error(Display *, XErrorEvent *)
{
    x_error = true;
    return 0;
}

// Xlib must not get control back from here: it would exit(). The process
// ends at once, with no exit handler, as the library's other threads may be
// inside the library still; the watcher gives the desktop its mode back.
extern "C" int end_at_once(Display *)
{
    std::_Exit(1);
}

// The watcher's own name, for ps, top and pgrep. The program's command line
// is its own memory, and the watcher's copy of it can take a shorter name.
void name_watcher()
{
#ifdef __linux__
    prctl(PR_SET_NAME, watcher_name);
    const std::size_t room = std::strlen(program_invocation_name) + 1;
    if (room >= sizeof watcher_name) {
        std::memset(program_invocation_name, 0, room);
        std::memcpy(program_invocation_name, watcher_name, sizeof watcher_name);
    }
#endif
}

// The watcher holds nothing of the program's: standard input, output and
// error are /dev/null, so a pipeline ends with the program; its session is
// its own, so the signals that reach the program's process group (Ctrl+C)
// do not reach it; and the X connection it got from the fork is closed.
void detach_watcher(int program_end)
{
    setsid();
    for (const int signal : {SIGINT, SIGQUIT, SIGHUP, SIGPIPE, SIGTSTP})
        std::signal(signal, SIG_IGN);
    const int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd)
        dup2(null, fd);
    dup2(program_end, 3);
    const long open_max = sysconf(_SC_OPEN_MAX);
#ifdef __linux__
    if (close_range(4, ~0U, 0) == 0)
        return;
#endif
    for (long fd = 4; fd < open_max; ++fd)
        close(static_cast<int>(fd));
}

// Reads the display's CRTCs until the program's end; none where the
// program ended before they were noted.
bool read_display_crtcs(std::vector<DisplayCrtc> &crtcs)
{
    std::vector<unsigned char> message;
    unsigned char buffer[4096];
    ssize_t got;
    while ((got = read(3, buffer, sizeof buffer)) != 0) {
        if (got > 0)
            message.insert(message.end(), buffer, buffer + got);
        else if (errno != EINTR)
            break;
    }
    std::uint32_t count;
    if (message.size() < sizeof count)
        return false;
    std::memcpy(&count, message.data(), sizeof count);
    if (message.size() != sizeof count + (count * sizeof(DisplayCrtc)))
        return false;
    crtcs.resize(count);
    std::memcpy(crtcs.data(), message.data() + sizeof count,
                count * sizeof(DisplayCrtc));
    return true;
}

[[noreturn]] void watch(int program_end)
{
    name_watcher();
    detach_watcher(program_end);
    std::vector<DisplayCrtc> display_crtcs;
    const bool noted = read_display_crtcs(display_crtcs);
    // Bounded from here: a server that stops answering ends the watcher.
    alarm(watcher_seconds);
    // Where the display left every mode as it was (Xwayland emulates the
    // switch for the program alone), there is nothing to give back.
    const bool mode_changed =
        !noted ||
        std::any_of(display_crtcs.begin(), display_crtcs.end(),
                    [](const DisplayCrtc &display) {
                        const Crtc *desktop =
                            find_crtc(desktop_crtcs, display.id);
                        return desktop && desktop->mode != display.mode;
                    });
    if (mode_changed)
        if (Display *x = XOpenDisplay(nullptr))
            give_mode_back(x, noted ? &display_crtcs : nullptr);
    _exit(0);
}

void start_watcher()
{
    int ends[2];
    if (pipe(ends) != 0)
        return;
    const pid_t watcher = fork();
    if (watcher == 0)
        watch(ends[0]);
    close(ends[0]);
    if (watcher == -1) {
        close(ends[1]);
        return;
    }
    fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    watcher_pipe = ends[1];
}

void tell_watcher(const std::vector<Crtc> &display_crtcs)
{
    const std::uint32_t count = display_crtcs.size();
    std::vector<unsigned char> message(sizeof count +
                                       (count * sizeof(DisplayCrtc)));
    std::memcpy(message.data(), &count, sizeof count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const DisplayCrtc crtc = {display_crtcs[i].id, display_crtcs[i].mode};
        std::memcpy(message.data() + sizeof count + (i * sizeof crtc), &crtc,
                    sizeof crtc);
    }
    // One write of less than PIPE_BUF: the watcher gets all of it or none.
    ssize_t written;
    do
        written = write(watcher_pipe, message.data(), message.size());
    while (written == -1 && errno == EINTR);
}

} // namespace

void watch_x11_desktop()
{
    // A closed standard descriptor would go to the next file the library
    // opens, its X connection, and the program's lines with it.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1)
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    XSetErrorHandler(record_x_error);
    XSetIOErrorHandler(end_at_once);
    // Xlib writes why a connection was refused (no X cookie, say) on
    // standard error; the library's own attempt writes it once already.
    const int saved_stderr = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    close(null);
    own_connection = XOpenDisplay(nullptr);
    dup2(saved_stderr, STDERR_FILENO);
    close(saved_stderr);
    if (!own_connection)
        return;
    desktop_crtcs = current_crtcs(own_connection);
    if (!desktop_crtcs.empty())
        start_watcher();
}

void note_x11_display_mode()
{
    if (!own_connection)
        return;
    if (watcher_pipe != -1)
        tell_watcher(current_crtcs(own_connection));
    XCloseDisplay(own_connection);
    own_connection = nullptr;
}

bool x11_error_happened()
{
    return x_error;
}
