// display-loss-test: zlib licence, see LICENSE.
//
// A process that dies before the library gives the desktop its mode back
// (SIGKILL, a crash, a lost connection) leaves the screen at 800x600. So a
// watcher, a process of the program's own started before the library starts
// any thread, waits for the program's end, however it comes, and then gives
// the desktop its layout back over a connection of its own, opened at its
// start: the authority file may be gone by the end, or the server full.

#include "x11_desktop.h"
#include "x11_internal.h"

#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace
{

// What the watcher learns from the program, a message (a packet of the
// socket) each: each CRTC's mode, place and outputs once the display is made,
// and again just before it is released; or that the program ended by itself
// before its display was made. A message is a Note, then its count of
// CrtcModes.
constexpr std::uint32_t display_made = 1;
constexpr std::uint32_t before_release = 2;
constexpr std::uint32_t startup_failed = 3;
struct Note {
    std::uint32_t moment = display_made;
    std::uint32_t count = 0;
};

constexpr char watcher_name[] = "dlt-watcher";
// Its work once the program has ended, at most; and its connection at its
// start.
constexpr unsigned watcher_seconds = 2;

// Open from before the display is asked for until its mode is noted: an X
// server with no other client starts over when its last client leaves, and
// the library's connection would meet it doing so.
Display *own_connection = nullptr;
// The desktop's layout before the display is asked for; the watcher has its
// own copy from the fork.
Layout desktop;
// The program's end of the watcher's socket: the watcher reads what the
// program notes from it, and its end of file once the program has ended.
int watcher_socket = -1;
pid_t watcher = -1;
bool display_noted = false;

std::vector<CrtcMode> crtc_modes(const Layout &layout)
{
    std::vector<CrtcMode> modes(layout.crtcs.size());
    std::transform(layout.crtcs.begin(), layout.crtcs.end(), modes.begin(),
                   note_of);
    return modes;
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
// its own, and it ignores the signals that reach the program's process
// group (Ctrl+C) and SIGTERM, so it ends only once the program has; its
// other signals are at their defaults and none is blocked, whatever the
// launcher left, so that its alarm bounds it; and the X connection it got
// from the fork is closed.
void detach_watcher(int program_end)
{
    setsid();
    for (int signal = 1; signal < NSIG; ++signal)
        if (signal != SIGKILL && signal != SIGSTOP)
            std::signal(signal, SIG_DFL);
    for (const int signal :
         {SIGINT, SIGQUIT, SIGHUP, SIGPIPE, SIGTSTP, SIGTERM})
        std::signal(signal, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
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

// Reads what the program notes until its end.
Notes read_notes()
{
    Notes notes;
    std::vector<unsigned char> message(65536);
    for (;;) {
        const ssize_t got = recv(3, message.data(), message.size(), 0);
        if (got == -1 && errno == EINTR)
            continue;
        if (got <= 0)
            return notes;
        Note note;
        const auto size = static_cast<std::size_t>(got);
        if (size < sizeof note)
            continue;
        std::memcpy(&note, message.data(), sizeof note);
        if ((size - sizeof note) / sizeof(CrtcMode) != note.count)
            continue;
        std::vector<CrtcMode> crtcs(note.count);
        std::memcpy(crtcs.data(), message.data() + sizeof note,
                    note.count * sizeof(CrtcMode));
        if (note.moment == display_made) {
            notes.display_noted = true;
            notes.display_made = crtcs;
        } else if (note.moment == before_release) {
            notes.before_release = crtcs;
        } else if (note.moment == startup_failed) {
            notes.startup_failed = true;
        }
    }
}

[[noreturn]] void watch(int program_end)
{
    name_watcher();
    detach_watcher(program_end);
    alarm(watcher_seconds);
    Display *x = XOpenDisplay(nullptr);
    alarm(0);
    if (x) {
        XRRSelectInput(x, DefaultRootWindow(x), RRScreenChangeNotifyMask);
        XSync(x, False);
    }
    const Notes notes = read_notes();
    // Bounded from here: a server that stops answering ends the watcher.
    alarm(watcher_seconds);
    Layout now;
    if (x && read_layout(x, now))
        apply_layout(x, now, layout_to_give_back(desktop, notes, now));
    _exit(0);
}

void start_watcher()
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return;
    watcher = fork();
    if (watcher == 0)
        watch(ends[0]);
    close(ends[0]);
    if (watcher == -1) {
        close(ends[1]);
        return;
    }
    watcher_socket = ends[1];
}

// A watcher that is gone (another process killed it) is dropped and
// reaped: the run goes on as if it had none. A note to it fails with EPIPE
// and raises no SIGPIPE, which would end the run: a packet socket raises
// none on Linux, and MSG_NOSIGNAL says so where a system would.
void tell_watcher(std::uint32_t moment, const std::vector<CrtcMode> &crtcs)
{
    if (watcher_socket == -1)
        return;
    const Note note = {moment, static_cast<std::uint32_t>(crtcs.size())};
    std::vector<unsigned char> message(sizeof note +
                                       (note.count * sizeof(CrtcMode)));
    std::memcpy(message.data(), &note, sizeof note);
    std::memcpy(message.data() + sizeof note, crtcs.data(),
                note.count * sizeof(CrtcMode));
    ssize_t sent;
    do
        sent =
            send(watcher_socket, message.data(), message.size(), MSG_NOSIGNAL);
    while (sent == -1 && errno == EINTR);
    if (sent == -1 && (errno == EPIPE || errno == ECONNRESET)) {
        close(watcher_socket);
        watcher_socket = -1;
        while (waitpid(watcher, nullptr, 0) == -1 && errno == EINTR)
            ;
    }
}

// A program that returns from main before its display's mode is noted
// failed to start: whatever changed meanwhile is another client's.
void note_startup_failure()
{
    if (!display_noted)
        tell_watcher(startup_failed, {});
}

} // namespace

void watch_x11_desktop()
{
    // A closed standard descriptor would go to the next file the library
    // opens, its X connection, and the program's lines with it.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1)
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    take_x_errors();
    // Xlib writes why a connection was refused (no X cookie, say) on
    // standard error; the library's own attempt writes it once already.
    const int saved_stderr = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    close(null);
    own_connection = XOpenDisplay(nullptr);
    dup2(saved_stderr, STDERR_FILENO);
    close(saved_stderr);
    if (!own_connection || !read_layout(own_connection, desktop) ||
        desktop.crtcs.empty())
        return;
    start_watcher();
    std::atexit(note_startup_failure);
}

void note_x11_display_mode()
{
    display_noted = true;
    if (!own_connection)
        return;
    Layout now;
    if (read_layout(own_connection, now))
        tell_watcher(display_made, crtc_modes(now));
    XCloseDisplay(own_connection);
    own_connection = nullptr;
}

void note_x11_outputs()
{
    if (watcher_socket == -1)
        return;
    if (Display *x = XOpenDisplay(nullptr)) {
        Layout now;
        if (read_layout(x, now))
            tell_watcher(before_release, crtc_modes(now));
        XCloseDisplay(x);
    }
}
