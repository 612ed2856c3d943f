// display-loss-test: zlib licence, see LICENSE.
//
// Checks how Allegro 5 copes with losing its display: a dark green square,
// painted once into an off-screen bitmap, is drawn on a dark red screen until
// the display is lost or switched out, and again once it is found. Escape or
// closing the display ends the run; so do SIGINT, SIGTERM, SIGHUP, SIGQUIT
// and SIGPIPE, after the display (and with it the desktop's mode) is given
// back.

#include "x11_desktop.h"

#include <allegro5/allegro.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#endif

constexpr float FPS = 1590.0f;

static ALLEGRO_DISPLAY *display = nullptr;

#ifdef _WIN32
constexpr int ending_signals[] = {SIGINT, SIGTERM};
static void (*previous_handlers[std::size(ending_signals)])(int);
#else
constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
static struct sigaction previous_actions[std::size(ending_signals)];
static pthread_t main_thread;
#endif
static_assert(std::atomic<int>::is_always_lock_free);
static std::atomic<int> ending_signal{0};

// From the display request on, an ending signal only ends the loop, so that
// the display is destroyed and the desktop gets its mode back; restoring the
// signals then ends the process by it, as an interrupted program ends, and
// its caller sees that. A signal that was ignored at start (nohup, a
// background job) stays ignored.
#ifdef _WIN32
extern "C" void record_signal(int signal)
{
    ending_signal = signal;
}

static void catch_ending_signals()
{
    for (std::size_t i = 0; i < std::size(ending_signals); ++i) {
        previous_handlers[i] = std::signal(ending_signals[i], record_signal);
        if (previous_handlers[i] == SIG_IGN)
            std::signal(ending_signals[i], SIG_IGN);
    }
}

static void restore_ending_signals()
{
    for (std::size_t i = 0; i < std::size(ending_signals); ++i)
        std::signal(ending_signals[i], previous_handlers[i]);
    if (ending_signal != 0)
        std::raise(ending_signal);
}
#else
// Passed on to the main thread where one of the library's threads took it:
// the main thread is the one that may be blocked writing standard output.
// There, installed without SA_RESTART, it makes that write return; and
// standard output that cannot take a line now is pointed at /dev/null, so
// that no later write blocks either, should the signal come just before one:
// its reader has stopped reading, and the run is ending.
extern "C" void record_signal(int signal)
{
    const int saved_errno = errno;
    ending_signal = signal;
    if (!pthread_equal(pthread_self(), main_thread)) {
        pthread_kill(main_thread, signal);
    } else {
        pollfd output = {STDOUT_FILENO, POLLOUT, 0};
        const int null =
            poll(&output, 1, 0) == 0 ? open("/dev/null", O_WRONLY) : -1;
        if (null != -1) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }
    errno = saved_errno;
}

static void catch_ending_signals()
{
    struct sigaction action = {};
    action.sa_handler = record_signal;
    sigemptyset(&action.sa_mask);
    main_thread = pthread_self();
    for (std::size_t i = 0; i < std::size(ending_signals); ++i) {
        sigaction(ending_signals[i], nullptr, &previous_actions[i]);
        if (previous_actions[i].sa_handler != SIG_IGN)
            sigaction(ending_signals[i], &action, nullptr);
    }
}

static void restore_ending_signals()
{
    for (std::size_t i = 0; i < std::size(ending_signals); ++i)
        sigaction(ending_signals[i], &previous_actions[i], nullptr);
    if (ending_signal != 0)
        std::raise(ending_signal);
}
#endif

int main(int, char **)
{
    ALLEGRO_EVENT_QUEUE *queue = nullptr;
    ALLEGRO_TIMER *timer = nullptr;
    ALLEGRO_BITMAP *backbuffer;
    ALLEGRO_BITMAP *bitmap;
    ALLEGRO_EVENT event;
    bool done;
    bool suspended;

#ifndef _WIN32
    // A closed standard descriptor would go to the next file the library
    // opens, its X connection, and the program's lines with it.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1)
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
#endif
    watch_x11_desktop();

    if (!al_install_system(ALLEGRO_VERSION_INT, std::atexit)) {
        std::fputs("Could not init Allegro.\n", stdout);
        std::fflush(stdout);
        return -1;
    }

    if (!al_install_keyboard()) {
        std::fputs("Could not install keyboard.\n", stdout);
        std::fflush(stdout);
        return -1;
    }

    al_set_new_display_flags(ALLEGRO_FULLSCREEN);
    catch_ending_signals();
    display = al_create_display(800, 600);
    if (!display) {
        std::fputs("Could not create display.\n", stdout);
        std::fflush(stdout);
        restore_ending_signals();
        al_rest(4.0);
        return -1;
    }

    queue = al_create_event_queue();
    if (!queue) {
        std::fputs("Could not create queue.\n", stdout);
        std::fflush(stdout);
        al_destroy_display(display);
        restore_ending_signals();
        al_rest(4.0);
        return -1;
    }

    timer = al_create_timer(1.0 / FPS);
    if (!timer) {
        al_destroy_display(display);
        restore_ending_signals();
        al_destroy_event_queue(queue);
        std::fputs("Could not create timer.\n", stdout);
        std::fflush(stdout);
        al_rest(4.0);
        return -1;
    }

    al_register_event_source(queue, al_get_keyboard_event_source());
    al_register_event_source(queue, al_get_display_event_source(display));
    al_register_event_source(queue, al_get_timer_event_source(timer));
    note_x11_display_mode();

    backbuffer = al_get_backbuffer(display);

    bitmap = al_create_bitmap(200, 200);
    if (!bitmap) {
        al_destroy_display(display);
        restore_ending_signals();
        al_destroy_timer(timer);
        al_destroy_event_queue(queue);
        std::fputs("Failed to load image.\n", stdout);
        std::fflush(stdout);
        al_rest(4.0);
        return -1;
    }

    // The square is painted this once: what the screen shows after a
    // recovery is whatever the library kept of it.
    al_set_target_bitmap(bitmap);
    al_clear_to_color(al_map_rgb(0, 100, 0));
    al_set_target_bitmap(backbuffer);

    done = false;
    suspended = false;
    al_start_timer(timer);

    while (!done) {
        if (!suspended) {
            al_set_target_bitmap(bitmap);
            al_set_target_bitmap(backbuffer);
            al_clear_to_color(al_map_rgb(100, 0, 0));
            al_draw_bitmap(bitmap, 0.0f, 0.0f, 0);
            al_flip_display();
        }

        // One batch: everything waiting is handled before the next frame.
        do {
            al_wait_for_event(queue, &event);
            switch (event.type) {
            case ALLEGRO_EVENT_DISPLAY_LOST:
                std::puts("Display Lost");
                suspended = true;
                break;
            case ALLEGRO_EVENT_DISPLAY_FOUND:
                std::puts("Display Found");
                suspended = false;
                break;
            case ALLEGRO_EVENT_DISPLAY_SWITCH_IN:
                std::puts("Display Switch In");
                break;
            case ALLEGRO_EVENT_DISPLAY_SWITCH_OUT:
                std::puts("Display Switch Out");
                suspended = true;
                break;
            case ALLEGRO_EVENT_DISPLAY_CLOSE:
                std::puts("User clicked on close.");
                done = true;
                break;
            case ALLEGRO_EVENT_KEY_DOWN:
                if (event.keyboard.keycode == ALLEGRO_KEY_ESCAPE)
                    done = true;
                break;
            default:
                break;
            }
            // Flushed at once: a pipe would otherwise hold every line until
            // exit, and lose them all if the process were killed.
            std::fflush(stdout);
            if (ending_signal != 0 || x11_error_happened() ||
                std::ferror(stdout))
                done = true;
        } while (!done && !al_is_event_queue_empty(queue));
    }

    // Taken before the releases: an error in giving the mode back does not
    // change how the run ended, and errno still holds a failed write's cause.
    const bool ended_by_x_error = x11_error_happened();
    const int write_error = std::ferror(stdout) ? errno : 0;
    al_destroy_bitmap(bitmap);
    al_destroy_display(display);
    restore_ending_signals();
    al_destroy_timer(timer);
    al_destroy_event_queue(queue);
    if (ended_by_x_error)
        return 1;
    if (write_error != 0) {
        std::fprintf(stderr, "display-loss-test: write error: %s\n",
                     std::strerror(write_error));
        return 1;
    }
    al_rest(1.0);
    return 0;
}
