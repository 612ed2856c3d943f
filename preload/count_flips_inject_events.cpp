// A preload library (LD_PRELOAD) that lets a driver measure display-loss-test
// and its baselines, and put them under load, without changing them. It wraps
// four calls:
//   al_create_event_queue  registers an event source of its own on the first
//                          queue, and starts a thread that reads commands
//                          from the FIFO that DLT_INJECT names;
//   al_flip_display        counts every flip, and can hold one flip;
//   puts, fflush           note when a line the program printed is flushed.
// Commands, one a line:
//   lost, found, in, out, close  emit that display event;
//   hold MS EVENT  the next flip waits MS ms, signals or not, then EVENT is
//                  emitted behind the ticks that piled up meanwhile, then
//                  the flip goes on;
//   flips          reports the number of flips so far.
// DLT_REPORT names a file that gets a line as each thing happens, times in
// CLOCK_MONOTONIC nanoseconds unless named otherwise:
//   version V, renderer R, first_flip_wall_us T (wall clock, microseconds,
//   as a shell's EPOCHREALTIME), emit EVENT T, held_flip_return T, line T,
//   flips COUNT T, bad_command TEXT;
//   fault FRAMES   the process met SIGSEGV or SIGBUS, a fault, not one that
//                  kill sent (sent FRAMES); it then dies by it;
//   where FRAMES   where the drawing thread is, on SIGUSR2.
// FRAMES are the objects (the program, a library) that hold the interrupted
// instruction and its callers, innermost first, as OBJECT or OBJECT:SYMBOL;
// code in no object (a JIT's) is "?". They tell a fault or a hang in the GL
// driver from one in the program or the library.
#include <allegro5/allegro.h>

#include <GL/gl.h>
#include <csignal>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

namespace
{

std::int64_t now_ns(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec t;
    clock_gettime(clock, &t);
    return (std::int64_t{t.tv_sec} * 1000000000) + t.tv_nsec;
}

template <typename Function> Function real(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int open_report()
{
    const char *path = std::getenv("DLT_REPORT");
    return path ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)
                : -1;
}

const int report_fd = open_report();

void report(const std::string &line)
{
    if (report_fd < 0)
        return;
    const std::string text = line + "\n";
    // One write of one line, so lines from two threads never interleave.
    if (write(report_fd, text.data(), text.size()) < 0)
        return;
}

void *interrupted_instruction(void *context)
{
    const auto *machine = &static_cast<ucontext_t *>(context)->uc_mcontext;
    void *instruction = nullptr;
#ifdef __x86_64__
    std::memcpy(static_cast<void *>(&instruction), &machine->gregs[REG_RIP],
                sizeof instruction);
#elif defined(__aarch64__)
    std::memcpy(static_cast<void *>(&instruction), &machine->pc,
                sizeof instruction);
#else
    static_cast<void>(machine);
#endif
    return instruction;
}

void append_frame(char *line, std::size_t size, const void *address)
{
    Dl_info info{};
    const char *object = "?";
    const char *symbol = nullptr;
    if (address && dladdr(address, &info) && info.dli_fname) {
        object = std::strrchr(info.dli_fname, '/')
                     ? std::strrchr(info.dli_fname, '/') + 1
                     : info.dli_fname;
        symbol = info.dli_sname;
    }
    const std::size_t used = std::strlen(line);
    std::snprintf(line + used, size - used, symbol ? " %s:%s" : " %s", object,
                  symbol);
}

// From a signal handler: no allocation, one write.
void report_frames(const char *key, void *context)
{
    if (report_fd < 0)
        return;
    void *frames[32];
    const int depth = backtrace(frames, 32);
    void *const interrupted = interrupted_instruction(context);
    char line[4096];
    std::snprintf(line, sizeof line, "%s", key);
    // One byte kept for the newline.
    append_frame(line, sizeof line - 1, interrupted);
    int caller = 0;
    while (caller < depth && frames[caller] != interrupted)
        ++caller;
    // A return address lies just past its call.
    // Twelve frames in all tell where it lies.
    const int outermost = std::min(depth, caller + 12);
    for (++caller; caller < outermost; ++caller)
        append_frame(line, sizeof line - 1,
                     static_cast<char *>(frames[caller]) - 1);
    std::strcat(line, "\n");
    if (write(report_fd, line, std::strlen(line)) < 0)
        return;
}

std::atomic<bool> drawing_thread_known{false};
pthread_t drawing_thread;

// The fault then takes its course: SA_RESETHAND has put the default action
// back, and the instruction faults again; a fault sent with kill is raised
// again. Should the report itself hang, the alarm ends the process.
extern "C" void report_fault(int signal, siginfo_t *info, void *context)
{
    alarm(2);
    const bool sent = info->si_code <= 0;
    report_frames(sent ? "sent" : "fault", context);
    if (sent)
        raise(signal);
}

extern "C" void report_where(int signal, siginfo_t *, void *context)
{
    if (drawing_thread_known && !pthread_equal(pthread_self(), drawing_thread))
        pthread_kill(drawing_thread, signal);
    else
        report_frames("where", context);
}

bool install_frame_reports()
{
    if (report_fd < 0)
        return false;
    struct sigaction fault = {};
    fault.sa_sigaction = report_fault;
    fault.sa_flags = SA_SIGINFO | SA_RESETHAND;
    sigemptyset(&fault.sa_mask);
    sigaction(SIGSEGV, &fault, nullptr);
    sigaction(SIGBUS, &fault, nullptr);
    struct sigaction where = {};
    where.sa_sigaction = report_where;
    where.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&where.sa_mask);
    sigaction(SIGUSR2, &where, nullptr);
    return true;
}

const bool frame_reports = install_frame_reports();

struct Named {
    const char *name;
    ALLEGRO_EVENT_TYPE type;
};

constexpr Named events[] = {
    {"lost", ALLEGRO_EVENT_DISPLAY_LOST},
    {"found", ALLEGRO_EVENT_DISPLAY_FOUND},
    {"in", ALLEGRO_EVENT_DISPLAY_SWITCH_IN},
    {"out", ALLEGRO_EVENT_DISPLAY_SWITCH_OUT},
    {"close", ALLEGRO_EVENT_DISPLAY_CLOSE},
};

const Named *named(const char *name)
{
    for (const Named &event : events)
        if (std::strcmp(event.name, name) == 0)
            return &event;
    return nullptr;
}

ALLEGRO_EVENT_SOURCE injected;
std::atomic<int> hold_ms{0};
std::atomic<const Named *> hold_event{nullptr};
std::atomic<long> flip_count{0};
bool line_pending = false;

void emit(const Named &what)
{
    ALLEGRO_EVENT event{};
    event.user.type = what.type;
    report(std::string("emit ") + what.name + " " + std::to_string(now_ns()));
    al_emit_user_event(&injected, &event, nullptr);
}

void run_command(const char *line)
{
    char name[32];
    int ms = 0;
    if (std::sscanf(line, "hold %d %31s", &ms, name) == 2) {
        if (const Named *event = named(name)) {
            hold_event = event;
            hold_ms = ms;
            return;
        }
    } else if (std::strcmp(line, "flips") == 0) {
        report("flips " + std::to_string(flip_count.load()) + " " +
               std::to_string(now_ns()));
        return;
    } else if (std::sscanf(line, "%31s", name) == 1) {
        if (const Named *event = named(name)) {
            emit(*event);
            return;
        }
    }
    report(std::string("bad_command ") + line);
}

// Plain read(2), no stdio: this thread blocks here for the life of the
// process, and glibc (2.41 on) takes every stdio stream's lock when it
// flushes at exit, so a stream held here would stop the exit.
void read_commands(const std::string &fifo)
{
    const int fd = open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    std::string pending;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) {
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            run_command(pending.substr(0, end).c_str());
            pending.erase(0, end + 1);
        }
    }
    close(fd);
}

} // namespace

extern "C" ALLEGRO_EVENT_QUEUE *al_create_event_queue()
{
    static const auto create =
        real<ALLEGRO_EVENT_QUEUE *(*)()>("al_create_event_queue");
    ALLEGRO_EVENT_QUEUE *queue = create();
    static bool started = false;
    if (queue && !started) {
        started = true;
        const std::uint32_t v = al_get_allegro_version();
        report("version " + std::to_string(v >> 24) + "." +
               std::to_string((v >> 16) & 255) + "." +
               std::to_string((v >> 8) & 255));
        al_init_user_event_source(&injected);
        al_register_event_source(queue, &injected);
        if (const char *fifo = std::getenv("DLT_INJECT"))
            std::thread(read_commands, std::string(fifo)).detach();
    }
    return queue;
}

extern "C" void al_flip_display()
{
    static const auto flip = real<void (*)()>("al_flip_display");
    const bool first = flip_count == 0;
    if (first) {
        drawing_thread = pthread_self();
        drawing_thread_known = true;
        const auto *renderer =
            reinterpret_cast<const char *>(glGetString(GL_RENDERER));
        report(std::string("renderer ") + (renderer ? renderer : "unknown"));
    }
    const int ms = hold_ms.exchange(0);
    if (ms > 0) {
        // The whole time, whatever signals come: a driver that does not
        // return until it is done.
        timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += ms / 1000;
        until.tv_nsec += (ms % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until,
                               nullptr) != 0)
            continue;
        emit(*hold_event.load());
    }
    flip();
    ++flip_count;
    if (ms > 0)
        report("held_flip_return " + std::to_string(now_ns()));
    if (first)
        report("first_flip_wall_us " +
               std::to_string(now_ns(CLOCK_REALTIME) / 1000));
}

// The program prints with puts and flushes after each event it handles; a
// line is out once the flush that follows it returns. (The C library names
// the parameter __s, a name reserved to it.)
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int puts(const char *text)
{
    static const auto real_puts = real<int (*)(const char *)>("puts");
    line_pending = true;
    return real_puts(text);
}

extern "C" int fflush(FILE *stream)
{
    static const auto real_fflush = real<int (*)(FILE *)>("fflush");
    const int result = real_fflush(stream);
    if (stream == stdout && line_pending) {
        line_pending = false;
        report("line " + std::to_string(now_ns()));
    }
    return result;
}
