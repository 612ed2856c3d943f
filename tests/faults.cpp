// A preload library that makes one of the program's creation calls fail on
// the real library (LD_PRELOAD=libfaults.so DLT_FAIL=al_create_timer), and
// appends to the file DLT_TRACE a line for each creation, release and rest,
// with how many bytes standard output (a regular file) held at that moment:
// "al_create_timer fails @0", "al_destroy_display @0", "al_rest(4) @24".
// Only the program's own calls are failed, traced and (rests) skipped: the
// library calls some of these functions itself (a display creates and
// destroys bitmaps), differently from one version to the next.
#include <allegro5/allegro.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

template <typename Function> Function real(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Whether the code at a return address belongs to the executable itself
// rather than to a shared library.
bool from_program(void *return_address)
{
    static link_map *const program = [] {
        link_map *map = nullptr;
        dlinfo(dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD), RTLD_DI_LINKMAP,
               static_cast<void *>(&map));
        return map;
    }();
    Dl_info info;
    link_map *caller = nullptr;
    return dladdr1(return_address, &info, reinterpret_cast<void **>(&caller),
                   RTLD_DL_LINKMAP) != 0 &&
           caller == program;
}

void trace(const std::string &call)
{
    const char *path = std::getenv("DLT_TRACE");
    if (!path)
        return;
    const std::string line =
        call + " @" + std::to_string(lseek(STDOUT_FILENO, 0, SEEK_CUR)) + "\n";
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, line.data(), line.size()) < 0) {
        // Nothing more to do: the trace will show the gap.
    }
    close(fd);
}

// For a call of the program's: records it and says whether it is the one to
// fail.
bool fails(const char *call, void *return_address)
{
    if (!from_program(return_address))
        return false;
    const char *failing = std::getenv("DLT_FAIL");
    const bool fail = failing && std::strcmp(failing, call) == 0;
    trace(std::string(call) + (fail ? " fails" : ""));
    return fail;
}

template <typename Object>
void release(const char *name, Object *object, void *return_address)
{
    if (from_program(return_address))
        trace(name);
    real<void (*)(Object *)>(name)(object);
}

} // namespace

#define CALLER __builtin_return_address(0)

extern "C" {

bool al_install_system(int version, int (*atexit_ptr)(void (*)(void)))
{
    return !fails("al_install_system", CALLER) &&
           real<bool (*)(int, int (*)(void (*)(void)))>("al_install_system")(
               version, atexit_ptr);
}

bool al_install_keyboard()
{
    return !fails("al_install_keyboard", CALLER) &&
           real<bool (*)()>("al_install_keyboard")();
}

ALLEGRO_DISPLAY *al_create_display(int w, int h)
{
    return fails("al_create_display", CALLER)
               ? nullptr
               : real<ALLEGRO_DISPLAY *(*)(int, int)>("al_create_display")(w,
                                                                           h);
}

ALLEGRO_EVENT_QUEUE *al_create_event_queue()
{
    return fails("al_create_event_queue", CALLER)
               ? nullptr
               : real<ALLEGRO_EVENT_QUEUE *(*)()>("al_create_event_queue")();
}

ALLEGRO_TIMER *al_create_timer(double speed_secs)
{
    return fails("al_create_timer", CALLER)
               ? nullptr
               : real<ALLEGRO_TIMER *(*)(double)>("al_create_timer")(
                     speed_secs);
}

ALLEGRO_BITMAP *al_create_bitmap(int w, int h)
{
    return fails("al_create_bitmap", CALLER)
               ? nullptr
               : real<ALLEGRO_BITMAP *(*)(int, int)>("al_create_bitmap")(w, h);
}

void al_destroy_display(ALLEGRO_DISPLAY *display)
{
    release("al_destroy_display", display, CALLER);
}

void al_destroy_event_queue(ALLEGRO_EVENT_QUEUE *queue)
{
    release("al_destroy_event_queue", queue, CALLER);
}

void al_destroy_timer(ALLEGRO_TIMER *timer)
{
    release("al_destroy_timer", timer, CALLER);
}

void al_destroy_bitmap(ALLEGRO_BITMAP *bitmap)
{
    release("al_destroy_bitmap", bitmap, CALLER);
}

void al_rest(double seconds)
{
    if (!from_program(CALLER)) {
        real<void (*)(double)>("al_rest")(seconds);
        return;
    }
    char text[32];
    std::snprintf(text, sizeof text, "al_rest(%g)", seconds);
    trace(text);
}

} // extern "C"
