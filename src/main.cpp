// display-loss-test: zlib licence, see LICENSE.
//
// Checks how Allegro 5 copes with losing its display: a dark green square,
// painted once into an off-screen bitmap, is drawn on a dark red screen until
// the display is lost or switched out, and again once it is found. Escape or
// closing the display ends the run; so do SIGINT, SIGTERM, SIGHUP, SIGQUIT
// and SIGPIPE, after the display (and with it the desktop's mode) is given
// back.

#include "ending_signals.h"
#include "x11_desktop.h"

#include <allegro5/allegro.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr float FPS = 1590.0f;

static ALLEGRO_DISPLAY *display = nullptr;

int main(int, char **)
{
    ALLEGRO_EVENT_QUEUE *queue = nullptr;
    ALLEGRO_TIMER *timer = nullptr;
    ALLEGRO_BITMAP *backbuffer;
    ALLEGRO_BITMAP *bitmap;
    ALLEGRO_EVENT event;
    bool done;
    bool suspended;

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
            if (ending_signal_caught() || x11_error_happened() ||
                std::ferror(stdout))
                done = true;
        } while (!done && !al_is_event_queue_empty(queue));
    }

    // Taken before the releases: an error in giving the mode back does not
    // change how the run ended, and errno still holds a failed write's cause.
    const bool ended_by_x_error = x11_error_happened();
    const int write_error = std::ferror(stdout) ? errno : 0;
    al_destroy_bitmap(bitmap);
    note_x11_outputs();
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
