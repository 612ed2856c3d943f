// The least loop that draws what display-loss-test draws, on the same
// fullscreen 800x600 display and at the same pace: clear to dark red, draw
// the 200x200 dark green bitmap at 0,0, flip, then wait for the next batch of
// events, which a 1590 Hz timer keeps coming. Ends on a close request or
// Escape.
#include <allegro5/allegro.h>

int main(int, char **)
{
    if (!al_init() || !al_install_keyboard())
        return 1;
    al_set_new_display_flags(ALLEGRO_FULLSCREEN);
    ALLEGRO_DISPLAY *display = al_create_display(800, 600);
    ALLEGRO_EVENT_QUEUE *queue = al_create_event_queue();
    ALLEGRO_TIMER *timer = al_create_timer(1.0 / 1590.0f);
    if (!display || !queue || !timer)
        return 1;
    al_register_event_source(queue, al_get_keyboard_event_source());
    al_register_event_source(queue, al_get_display_event_source(display));
    al_register_event_source(queue, al_get_timer_event_source(timer));
    ALLEGRO_BITMAP *bitmap = al_create_bitmap(200, 200);
    if (!bitmap)
        return 1;
    al_set_target_bitmap(bitmap);
    al_clear_to_color(al_map_rgb(0, 100, 0));
    al_set_target_backbuffer(display);
    al_start_timer(timer);

    for (;;) {
        al_clear_to_color(al_map_rgb(100, 0, 0));
        al_draw_bitmap(bitmap, 0.0f, 0.0f, 0);
        al_flip_display();
        ALLEGRO_EVENT event;
        al_wait_for_event(queue, &event);
        do
            if (event.type == ALLEGRO_EVENT_DISPLAY_CLOSE ||
                (event.type == ALLEGRO_EVENT_KEY_DOWN &&
                 event.keyboard.keycode == ALLEGRO_KEY_ESCAPE))
                return 0;
        while (al_get_next_event(queue, &event));
    }
}
