// The least loop that waits on a library timer at 1590 Hz, with no display:
// what the timer costs by itself. Ends on a close request emitted into its
// queue (by the measuring preload library).
#include <allegro5/allegro.h>

int main(int, char **)
{
    if (!al_init())
        return 1;
    ALLEGRO_EVENT_QUEUE *queue = al_create_event_queue();
    ALLEGRO_TIMER *timer = al_create_timer(1.0 / 1590.0f);
    if (!queue || !timer)
        return 1;
    al_register_event_source(queue, al_get_timer_event_source(timer));
    al_start_timer(timer);
    ALLEGRO_EVENT event;
    do
        al_wait_for_event(queue, &event);
    while (event.type != ALLEGRO_EVENT_DISPLAY_CLOSE);
    return 0;
}
