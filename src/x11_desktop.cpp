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

// What the watcher learns over its pipe: each CRTC's mode once the display
// is made, and again just before it is released. A message is a Note, then
// its count of CrtcModes.
struct CrtcMode {
    RRCrtc id = None;
    RRMode mode = None;
};
constexpr std::uint32_t display_made = 1;
constexpr std::uint32_t before_release = 2;
struct Note {
    std::uint32_t moment = display_made;
    std::uint32_t count = 0;
};
struct Notes {
    bool display_noted = false;
    std::vector<CrtcMode> display_made;
    std::vector<CrtcMode> before_release;
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
// The program's end of the watcher's pipe: the watcher reads what the
// program notes from it, and its end of file once the program has ended.
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

Crtc turned_off(RRCrtc id)
{
    Crtc off;
    off.id = id;
    return off;
}

bool same(const Crtc &a, const Crtc &b)
{
    return a.mode == b.mode && (a.mode == None || (a.x == b.x && a.y == b.y &&
                                                   a.rotation == b.rotation &&
                                                   a.outputs == b.outputs));
}

// What a CRTC is to show once the program has ended. One that still shows
// the mode the display set gets the desktop's back; one that another client
// has changed since keeps that client's mode. Where the display's mode was
// never noted, the program ended before the display was made or just after,
// and a change can only be the display's. One that was off just before the
// display was released (its monitor unplugged), and that the release turned
// back on, goes off again.
Crtc wanted_crtc(const Crtc &now, const Notes &notes)
{
    const CrtcMode *before = find_crtc(notes.before_release, now.id);
    if (before && before->mode == None && now.mode != None)
        return turned_off(now.id);
    const Crtc *desktop = find_crtc(desktop_crtcs, now.id);
    if (!desktop || now.mode == desktop->mode)
        return now;
    if (notes.display_noted) {
        const CrtcMode *display = find_crtc(notes.display_made, now.id);
        if (!display || now.mode != display->mode)
            return now;
    }
    return *desktop;
}

// The right and bottom edges of what a CRTC shows; 0, 0 when it is off.
void crtc_edges(XRRScreenResources *resources, const Crtc &crtc, int &right,
                int &bottom)
{
    right = 0;
    bottom = 0;
    for (int i = 0; i < resources->nmode && crtc.mode != None; ++i) {
        const XRRModeInfo &mode = resources->modes[i];
        if (mode.id != crtc.mode)
            continue;
        const bool turned = crtc.rotation & (RR_Rotate_90 | RR_Rotate_270);
        right = crtc.x + static_cast<int>(turned ? mode.height : mode.width);
        bottom = crtc.y + static_cast<int>(turned ? mode.width : mode.height);
    }
}

void set_crtc(Display *x, XRRScreenResources *resources, const Crtc &crtc)
{
    std::vector<RROutput> outputs = crtc.outputs;
    XRRSetCrtcConfig(x, resources, crtc.id, CurrentTime, crtc.x, crtc.y,
                     crtc.mode, crtc.rotation, outputs.data(),
                     static_cast<int>(outputs.size()));
}

// As xrandr does it: the screen is made just large enough for what is to be
// on. A CRTC that would not fit it, or is to go off, goes off first; then
// the screen takes its size; then each CRTC that is to change is set.
void set_crtcs(Display *x, XRRScreenResources *resources,
               const std::vector<Crtc> &now, const std::vector<Crtc> &wanted)
{
    int width = 0;
    int height = 0;
    for (const Crtc &crtc : wanted) {
        int right;
        int bottom;
        crtc_edges(resources, crtc, right, bottom);
        width = std::max(width, right);
        height = std::max(height, bottom);
    }
    const Window root = DefaultRootWindow(x);
    int min_width;
    int min_height;
    int max_width;
    int max_height;
    if (XRRGetScreenSizeRange(x, root, &min_width, &min_height, &max_width,
                              &max_height)) {
        width = std::clamp(width, min_width, max_width);
        height = std::clamp(height, min_height, max_height);
    }
    for (std::size_t i = 0; i < now.size(); ++i) {
        int right;
        int bottom;
        crtc_edges(resources, now[i], right, bottom);
        if (!same(now[i], wanted[i]) &&
            (wanted[i].mode == None || right > width || bottom > height))
            set_crtc(x, resources, turned_off(now[i].id));
    }
    const int screen = DefaultScreen(x);
    const int old_width = DisplayWidth(x, screen);
    const int old_height = DisplayHeight(x, screen);
    if (width != old_width || height != old_height) {
        // The same size of a pixel; RandR refuses a size of 0 mm.
        const int width_mm =
            std::max(1, DisplayWidthMM(x, screen) * width / old_width);
        const int height_mm =
            std::max(1, DisplayHeightMM(x, screen) * height / old_height);
        XRRSetScreenSize(x, root, width, height, width_mm, height_mm);
    }
    for (std::size_t i = 0; i < now.size(); ++i)
        if (!same(now[i], wanted[i]) && wanted[i].mode != None)
            set_crtc(x, resources, wanted[i]);
}

void give_mode_back(Display *x, const Notes &notes)
{
    XRRScreenResources *resources = screen_resources(x);
    if (!resources)
        return;
    const std::vector<Crtc> now = read_crtcs(x, resources);
    std::vector<Crtc> wanted;
    bool changing = false;
    for (const Crtc &crtc : now) {
        wanted.push_back(wanted_crtc(crtc, notes));
        changing = changing || !same(crtc, wanted.back());
    }
    if (changing)
        set_crtcs(x, resources, now, wanted);
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
#ifdef __linux__
    if (close_range(4, ~0U, 0) == 0)
        return;
#endif
    for (long fd = 4, open_max = sysconf(_SC_OPEN_MAX); fd < open_max; ++fd)
        close(static_cast<int>(fd));
}

// Reads what the program notes until its end; a message cut short by the
// end, and what follows, is not noted.
Notes read_notes()
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
    Notes notes;
    std::size_t at = 0;
    Note note;
    while (message.size() - at >= sizeof note) {
        std::memcpy(&note, message.data() + at, sizeof note);
        at += sizeof note;
        if ((message.size() - at) / sizeof(CrtcMode) < note.count)
            break;
        std::vector<CrtcMode> crtcs(note.count);
        std::memcpy(crtcs.data(), message.data() + at,
                    note.count * sizeof(CrtcMode));
        at += note.count * sizeof(CrtcMode);
        if (note.moment == display_made) {
            notes.display_noted = true;
            notes.display_made = crtcs;
        } else if (note.moment == before_release) {
            notes.before_release = crtcs;
        }
    }
    return notes;
}

[[noreturn]] void watch(int program_end)
{
    name_watcher();
    detach_watcher(program_end);
    const Notes notes = read_notes();
    // Bounded from here: a server that stops answering ends the watcher.
    alarm(watcher_seconds);
    // Where the display left every mode as it was (Xwayland emulates the
    // switch for the program alone), there is nothing to give back.
    const bool mode_changed =
        !notes.display_noted ||
        std::any_of(notes.display_made.begin(), notes.display_made.end(),
                    [](const CrtcMode &display) {
                        const Crtc *desktop =
                            find_crtc(desktop_crtcs, display.id);
                        return desktop && desktop->mode != display.mode;
                    });
    if (mode_changed)
        if (Display *x = XOpenDisplay(nullptr))
            give_mode_back(x, notes);
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

void tell_watcher(std::uint32_t moment, const std::vector<Crtc> &crtcs)
{
    const Note note = {moment, static_cast<std::uint32_t>(crtcs.size())};
    std::vector<unsigned char> message(sizeof note +
                                       (note.count * sizeof(CrtcMode)));
    std::memcpy(message.data(), &note, sizeof note);
    for (std::uint32_t i = 0; i < note.count; ++i) {
        const CrtcMode crtc = {crtcs[i].id, crtcs[i].mode};
        std::memcpy(message.data() + sizeof note + (i * sizeof crtc), &crtc,
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
        tell_watcher(display_made, current_crtcs(own_connection));
    XCloseDisplay(own_connection);
    own_connection = nullptr;
}

void note_x11_outputs()
{
    if (watcher_pipe == -1)
        return;
    if (Display *x = XOpenDisplay(nullptr)) {
        tell_watcher(before_release, current_crtcs(x));
        XCloseDisplay(x);
    }
}

bool x11_error_happened()
{
    return x_error;
}
