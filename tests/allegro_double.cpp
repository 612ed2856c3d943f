#include "allegro_double.h"
#include "../src/x11_desktop.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <stdexcept>
#include <unistd.h>

struct ALLEGRO_DISPLAY {
};
struct ALLEGRO_EVENT_QUEUE {
};
struct ALLEGRO_TIMER {
};
struct ALLEGRO_BITMAP {
};

namespace
{

// Past this many calls the program is taken to be looping without waiting.
constexpr std::size_t most_calls = 100000;

ALLEGRO_DISPLAY the_display;
ALLEGRO_EVENT_QUEUE the_queue;
ALLEGRO_TIMER the_timer;
ALLEGRO_BITMAP the_backbuffer;
ALLEGRO_BITMAP the_bitmap;
ALLEGRO_EVENT_SOURCE keyboard_source;
ALLEGRO_EVENT_SOURCE display_source;
ALLEGRO_EVENT_SOURCE timer_source;

const fake::Script *script;
fake::Run *current;
std::size_t next_batch;
std::deque<ALLEGRO_EVENT> waiting;
int capture_fd = -1;
off_t captured = 0;

struct ScriptOver : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Whatever the program has written to standard output since the last call
// goes into the trace first, so the trace shows when each line left.
void take_output()
{
    char buffer[4096];
    ssize_t got;
    std::string text;
    while ((got = pread(capture_fd, buffer, sizeof buffer, captured)) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
        captured += got;
    }
    if (!text.empty())
        current->trace.push_back("out: " + text);
}

void record(const std::string &call)
{
    take_output();
    current->trace.push_back(call);
    if (current->trace.size() > most_calls)
        throw ScriptOver("the program made over 100000 calls");
}

// Records a call that can fail, and says whether the script lets it succeed.
bool succeeds(const std::string &name, const std::string &arguments)
{
    const bool fails = script->failing_call == name;
    record(name + "(" + arguments + ")" + (fails ? " fails" : ""));
    return !fails;
}

std::string size(int w, int h)
{
    return std::to_string(w) + ", " + std::to_string(h);
}

std::string name_of(const void *object)
{
    if (object == &the_display)
        return "display";
    if (object == &the_queue)
        return "queue";
    if (object == &the_timer)
        return "timer";
    if (object == &the_backbuffer)
        return "backbuffer";
    if (object == &the_bitmap)
        return "bitmap";
    if (object == &keyboard_source)
        return "keyboard";
    if (object == &display_source)
        return "display";
    if (object == &timer_source)
        return "timer";
    return object ? "unknown" : "null";
}

std::string channels(ALLEGRO_COLOR colour)
{
    auto byte = [](float channel) {
        return std::to_string(std::lround(channel * 255.0f));
    };
    return byte(colour.r) + ", " + byte(colour.g) + ", " + byte(colour.b) +
           ", " + byte(colour.a);
}

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

} // namespace

bool al_install_system(int version, int (*atexit_ptr)(void (*)(void)))
{
    const std::string arguments =
        (version == ALLEGRO_VERSION_INT ? "ALLEGRO_VERSION_INT"
                                        : std::to_string(version)) +
        (atexit_ptr == &std::atexit ? ", atexit" : ", other");
    return succeeds("al_install_system", arguments);
}

bool al_install_keyboard()
{
    return succeeds("al_install_keyboard", "");
}

void al_set_new_display_flags(int flags)
{
    record("al_set_new_display_flags(" + std::to_string(flags) + ")");
}

ALLEGRO_DISPLAY *al_create_display(int w, int h)
{
    return succeeds("al_create_display", size(w, h)) ? &the_display : nullptr;
}

ALLEGRO_EVENT_QUEUE *al_create_event_queue()
{
    return succeeds("al_create_event_queue", "") ? &the_queue : nullptr;
}

ALLEGRO_TIMER *al_create_timer(double speed_secs)
{
    // The period must be the double reciprocal of the single-precision rate.
    const bool exact = speed_secs == 1.0 / 1590.0f;
    return succeeds("al_create_timer",
                    exact ? "1.0 / 1590.0f" : number(speed_secs))
               ? &the_timer
               : nullptr;
}

ALLEGRO_EVENT_SOURCE *al_get_keyboard_event_source()
{
    return &keyboard_source;
}

ALLEGRO_EVENT_SOURCE *al_get_display_event_source(ALLEGRO_DISPLAY *display)
{
    return display == &the_display ? &display_source : nullptr;
}

ALLEGRO_EVENT_SOURCE *al_get_timer_event_source(ALLEGRO_TIMER *timer)
{
    return timer == &the_timer ? &timer_source : nullptr;
}

void al_register_event_source(ALLEGRO_EVENT_QUEUE *queue,
                              ALLEGRO_EVENT_SOURCE *source)
{
    record("al_register_event_source(" + name_of(queue) + ", " +
           name_of(source) + ")");
}

ALLEGRO_BITMAP *al_get_backbuffer(ALLEGRO_DISPLAY *display)
{
    record("al_get_backbuffer(" + name_of(display) + ")");
    return display == &the_display ? &the_backbuffer : nullptr;
}

ALLEGRO_BITMAP *al_create_bitmap(int w, int h)
{
    return succeeds("al_create_bitmap", size(w, h)) ? &the_bitmap : nullptr;
}

void al_set_target_bitmap(ALLEGRO_BITMAP *bitmap)
{
    record("al_set_target_bitmap(" + name_of(bitmap) + ")");
}

ALLEGRO_COLOR al_map_rgb(unsigned char r, unsigned char g, unsigned char b)
{
    return ALLEGRO_COLOR{static_cast<float>(r) / 255.0f,
                         static_cast<float>(g) / 255.0f,
                         static_cast<float>(b) / 255.0f, 1.0f};
}

void al_clear_to_color(ALLEGRO_COLOR colour)
{
    record("al_clear_to_color(" + channels(colour) + ")");
}

void al_start_timer(ALLEGRO_TIMER *timer)
{
    record("al_start_timer(" + name_of(timer) + ")");
}

void al_draw_bitmap(ALLEGRO_BITMAP *bitmap, float dx, float dy, int flags)
{
    record("al_draw_bitmap(" + name_of(bitmap) + ", " + number(dx) + ", " +
           number(dy) + ", " + std::to_string(flags) + ")");
}

void al_flip_display()
{
    record("al_flip_display()");
}

void al_wait_for_event(ALLEGRO_EVENT_QUEUE *queue, ALLEGRO_EVENT *ret_event)
{
    take_output();
    if (waiting.empty()) {
        // The queue is empty: the wait blocks until the next batch arrives.
        record("al_wait_for_event(" + name_of(queue) + ") blocks");
        if (next_batch == script->batches.size())
            throw ScriptOver("the program waited after the last batch");
        const auto &batch = script->batches[next_batch++];
        waiting.assign(batch.begin(), batch.end());
        if (waiting.empty())
            throw ScriptOver("the script has an empty batch");
    }
    *ret_event = waiting.front();
    waiting.pop_front();
}

bool al_is_event_queue_empty(ALLEGRO_EVENT_QUEUE *)
{
    take_output();
    return waiting.empty();
}

void al_destroy_bitmap(ALLEGRO_BITMAP *bitmap)
{
    record("al_destroy_bitmap(" + name_of(bitmap) + ")");
}

void al_destroy_display(ALLEGRO_DISPLAY *display)
{
    record("al_destroy_display(" + name_of(display) + ")");
}

void al_destroy_timer(ALLEGRO_TIMER *timer)
{
    record("al_destroy_timer(" + name_of(timer) + ")");
}

void al_destroy_event_queue(ALLEGRO_EVENT_QUEUE *queue)
{
    record("al_destroy_event_queue(" + name_of(queue) + ")");
}

void al_rest(double seconds)
{
    record("al_rest(" + number(seconds) + ")");
}

// The program's X11 side has no X server to watch here.
void watch_x11_desktop()
{
}

void note_x11_display_mode()
{
}

void note_x11_outputs()
{
}

bool x11_error_happened()
{
    return false;
}

namespace fake
{

Run run(const Script &the_script)
{
    Run result;
    script = &the_script;
    current = &result;
    next_batch = 0;
    waiting.clear();

    // Standard output goes to a scratch file for the length of the run.
    std::fflush(stdout);
    std::FILE *capture = std::tmpfile();
    if (!capture) {
        result.error = "no scratch file for standard output";
        return result;
    }
    capture_fd = fileno(capture);
    captured = 0;
    const int saved_stdout = dup(STDOUT_FILENO);
    dup2(capture_fd, STDOUT_FILENO);

    char name[] = "display-loss-test";
    char *argv[] = {name, nullptr};
    try {
        result.status = program_main(1, argv);
    } catch (const ScriptOver &over) {
        result.error = over.what();
    }

    std::fflush(stdout);
    take_output();
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    std::fclose(capture);
    result.events_left = waiting.size();
    return result;
}

ALLEGRO_EVENT event(ALLEGRO_EVENT_TYPE type, int keycode)
{
    ALLEGRO_EVENT event{};
    event.type = type;
    if (type == ALLEGRO_EVENT_KEY_DOWN || type == ALLEGRO_EVENT_KEY_UP ||
        type == ALLEGRO_EVENT_KEY_CHAR)
        event.keyboard.keycode = keycode;
    return event;
}

} // namespace fake
