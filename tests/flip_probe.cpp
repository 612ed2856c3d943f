// display-loss-test: zlib licence, see LICENSE.
//
// A helper of the tests, not shipped: the program's picture, but it goes on
// drawing and flipping after a switch out, as the library needs to learn of
// a lost device, so that a test can see what the library itself does. It
// prints each display event with the seconds since the last switch, and
// ends on Escape.

#include <allegro5/allegro.h>

#include <cstdio>
#include <cstdlib>

int main(int, char **)
{
    if (!al_install_system(ALLEGRO_VERSION_INT, std::atexit) ||
        !al_install_keyboard())
        return 1;
    al_set_new_display_flags(ALLEGRO_FULLSCREEN);
    ALLEGRO_DISPLAY *display = al_create_display(800, 600);
    if (!display)
        return 1;
    ALLEGRO_EVENT_QUEUE *queue = al_create_event_queue();
    ALLEGRO_BITMAP *bitmap = al_create_bitmap(200, 200);
    if (!queue || !bitmap)
        return 1;
    al_register_event_source(queue, al_get_keyboard_event_source());
    al_register_event_source(queue, al_get_display_event_source(display));
    al_set_target_bitmap(bitmap);
    al_clear_to_color(al_map_rgb(0, 100, 0));
    al_set_target_backbuffer(display);

    double switched = al_get_time();
    for (;;) {
        al_clear_to_color(al_map_rgb(100, 0, 0));
        al_draw_bitmap(bitmap, 0.0f, 0.0f, 0);
        al_flip_display();
        ALLEGRO_EVENT event;
        while (al_get_next_event(queue, &event)) {
            const char *line = nullptr;
            switch (event.type) {
            case ALLEGRO_EVENT_DISPLAY_LOST:
                line = "Display Lost";
                break;
            case ALLEGRO_EVENT_DISPLAY_FOUND:
                line = "Display Found";
                break;
            case ALLEGRO_EVENT_DISPLAY_SWITCH_IN:
                line = "Display Switch In";
                break;
            case ALLEGRO_EVENT_DISPLAY_SWITCH_OUT:
                line = "Display Switch Out";
                break;
            case ALLEGRO_EVENT_KEY_DOWN:
                if (event.keyboard.keycode == ALLEGRO_KEY_ESCAPE)
                    return 0;
                break;
            }
            if (!line)
                continue;
            const double now = al_get_time();
            std::printf("%s %.3f\n", line, now - switched);
            std::fflush(stdout);
            if (event.type == ALLEGRO_EVENT_DISPLAY_SWITCH_IN ||
                event.type == ALLEGRO_EVENT_DISPLAY_SWITCH_OUT)
                switched = now;
        }
        al_rest(0.005);
    }
}
