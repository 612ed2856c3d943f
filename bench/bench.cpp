// Measures display-loss-test against the least loops that do its work, on the
// X display in DISPLAY, through the counter preload library, and prints one
// table (figure, median, min, max, target, met) on standard output. Progress
// goes to standard error.
//
// usage: bench [--quick] [--doc FILE] PROGRAM DRAW_BASELINE TIMER_BASELINE
//              COUNTER_LIBRARY WORK_DIR
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

using Ns = std::int64_t;
constexpr Ns ns_per_s = 1000000000;
constexpr double ns_per_ms = 1e6;

struct Settings {
    int pairs;            // frame-rate runs, A B A B
    double warmup_s;      // frames not counted after the first flip
    double counted_s;     // frames counted after that
    int latency_events;   // display events injected one at a time
    double cpu_s;         // CPU time measured while suspended
    int first_frame_runs; // starts timed to the first flip
    double memory_s;      // run length for peak RSS
    int drain_holds;      // held flips
};

constexpr Settings full{5, 0.5, 3.0, 1000, 5.0, 10, 10.0, 5};
constexpr Settings quick{1, 0.5, 1.0, 100, 1.0, 3, 2.0, 3};

[[noreturn]] void fail(const std::string &why)
{
    throw std::runtime_error(why);
}

Ns now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (Ns{t.tv_sec} * ns_per_s) + t.tv_nsec;
}

void sleep_until(Ns when)
{
    const timespec t{static_cast<time_t>(when / ns_per_s),
                     static_cast<long>(when % ns_per_s)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) ==
           EINTR) {
    }
}

Ns seconds(double s)
{
    return static_cast<Ns>(s * ns_per_s);
}

std::string read_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// One run of a measured program, with the counter library preloaded: its
// standard output comes through a pipe, commands go through a FIFO.
class Process
{
  public:
    Process(const std::string &program, const std::string &library,
            const std::string &dir)
        : dir_(dir)
    {
        mkdir(dir.c_str(), 0755);
        const std::string fifo = dir + "/inject";
        unlink(fifo.c_str());
        if (mkfifo(fifo.c_str(), 0600) != 0)
            fail("cannot make " + fifo);
        int out[2];
        if (pipe(out) != 0)
            fail("cannot make a pipe");
        started_ = now();
        pid_ = fork();
        if (pid_ < 0) {
            close(out[0]);
            close(out[1]);
            fail("cannot fork");
        }
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            const int err = open((dir + "/stderr").c_str(),
                                 O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, STDERR_FILENO);
            setenv("LD_PRELOAD", library.c_str(), 1);
            setenv("DLT_INJECT", fifo.c_str(), 1);
            setenv("DLT_REPORT", (dir + "/report").c_str(), 1);
            setenv("DLT_FRAMES", (dir + "/frames").c_str(), 1);
            execl(program.c_str(), program.c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
        // The FIFO has a reader once the program has made its queue.
        const Ns deadline = now() + seconds(10);
        while ((inject_ = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0) {
            // A constructor that throws runs no destructor: the child and
            // the pipe are released here.
            if (exited() || now() > deadline) {
                release();
                fail(std::string(program)
                         .append(" did not start; see ")
                         .append(dir)
                         .append("/stderr"));
            }
            usleep(2000);
        }
        fcntl(inject_, F_SETFL, 0);
    }

    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    ~Process()
    {
        release();
    }

    void release()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
        if (inject_ >= 0)
            close(inject_);
        pid_ = -1;
        out_ = -1;
        inject_ = -1;
    }

    pid_t pid() const
    {
        return pid_;
    }

    Ns started() const
    {
        return started_;
    }

    void command(const std::string &line) const
    {
        const std::string text = line + "\n";
        if (write(inject_, text.data(), text.size()) !=
            static_cast<ssize_t>(text.size()))
            fail("cannot send '" + line + "'");
    }

    // The next line of standard output, and when it was read.
    Ns read_line(const std::string &expected)
    {
        const Ns deadline = now() + seconds(5);
        for (;;) {
            const auto end = pending_.find('\n');
            if (end != std::string::npos) {
                const std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                if (line != expected)
                    fail(std::string("read '")
                             .append(line)
                             .append("', expected '")
                             .append(expected)
                             .append("'"));
                return last_read_;
            }
            pollfd ready{out_, POLLIN, 0};
            const int left = static_cast<int>((deadline - now()) / 1000000);
            if (left <= 0 || poll(&ready, 1, left) <= 0)
                fail("no line '" + expected + "' within 5 s");
            char buffer[4096];
            const ssize_t got = read(out_, buffer, sizeof buffer);
            last_read_ = now();
            if (got <= 0)
                fail("the program ended before printing '" + expected + "'");
            pending_.append(buffer, static_cast<std::size_t>(got));
        }
    }

    // The values of the first COUNT report lines that start with KEY.
    std::vector<std::string> report(const std::string &key,
                                    std::size_t count = 1)
    {
        const Ns deadline = now() + seconds(10);
        for (;;) {
            std::vector<std::string> values;
            std::istringstream lines(read_file(dir_ + "/report"));
            for (std::string line; std::getline(lines, line);)
                if (line.rfind(key + " ", 0) == 0)
                    values.push_back(line.substr(key.size() + 1));
            if (values.size() >= count)
                return values;
            if (exited() || now() > deadline)
                fail("no report of '" + key + "' in " + dir_ + "/report");
            usleep(1000);
        }
    }

    Ns first_flip()
    {
        return std::stoll(report("first_flip").front());
    }

    // Sends a close request and waits (10 s at most) for a clean end.
    void finish()
    {
        command("close");
        const Ns deadline = now() + seconds(10);
        while (!exited()) {
            if (now() > deadline)
                fail("the program did not end within 10 s of a close");
            usleep(5000);
        }
        if (!WIFEXITED(status_) || WEXITSTATUS(status_) != 0)
            fail("the program ended with status " + std::to_string(status_));
    }

    std::vector<Ns> flips() const
    {
        const std::string data = read_file(dir_ + "/frames");
        std::vector<Ns> times(data.size() / sizeof(Ns));
        std::memcpy(times.data(), data.data(), times.size() * sizeof(Ns));
        return times;
    }

    // User plus system time of all its threads so far.
    Ns cpu() const
    {
        const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
        Ns total = 0;
        DIR *dir = opendir(tasks.c_str());
        if (!dir)
            fail("cannot read " + tasks);
        while (const dirent *task = readdir(dir)) {
            if (task->d_name[0] == '.')
                continue;
            std::ifstream stat(tasks + "/" + task->d_name + "/schedstat");
            Ns run = 0;
            if (stat >> run)
                total += run;
        }
        closedir(dir);
        return total;
    }

    double peak_rss_mib() const
    {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmHWM:", 0) == 0)
                return std::stod(line.substr(6)) / 1024.0;
        fail("no VmHWM for " + std::to_string(pid_));
    }

  private:
    bool exited()
    {
        if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_)
            pid_ = -1;
        return pid_ <= 0;
    }

    std::string dir_;
    pid_t pid_ = -1;
    int out_ = -1;
    int inject_ = -1;
    int status_ = 0;
    Ns started_ = 0;
    Ns last_read_ = 0;
    std::string pending_;
};

struct Summary {
    double median, min, max;
};

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const double at = p * static_cast<double>(values.size() - 1);
    const auto below = static_cast<std::size_t>(at);
    const std::size_t above = std::min(below + 1, values.size() - 1);
    return values[below] + ((values[above] - values[below]) *
                            (at - static_cast<double>(below)));
}

Summary summarize(const std::vector<double> &values)
{
    return {percentile(values, 0.5),
            *std::min_element(values.begin(), values.end()),
            *std::max_element(values.begin(), values.end())};
}

struct Row {
    std::string figure;
    Summary value;
    int decimals;
    std::string target;
    std::string met; // "met", "not met" or "-" for figures only reported
};

std::string verdict(bool met)
{
    return met ? "met" : "not met";
}

class Bench
{
  public:
    Bench(const Settings &settings, std::vector<std::string> paths)
        : settings_(settings), program_(paths[0]), draw_baseline_(paths[1]),
          timer_baseline_(paths[2]), library_(paths[3]), work_(paths[4])
    {
    }

    std::vector<Row> run()
    {
        std::vector<Row> rows;
        frame_rate(rows);
        latency(rows);
        suspended_cpu(rows);
        first_frame(rows);
        memory(rows);
        drain(rows);
        return rows;
    }

    std::string version, renderer;

  private:
    std::string next_dir()
    {
        return work_ + "/run" + std::to_string(++runs_);
    }

    static void progress(const std::string &what, int run, int of)
    {
        std::fprintf(stderr, "bench: %s, run %d of %d\n", what.c_str(), run,
                     of);
    }

    double frames_per_second(const std::string &program)
    {
        Process process(program, library_, next_dir());
        const Ns from = process.first_flip() + seconds(settings_.warmup_s);
        const Ns to = from + seconds(settings_.counted_s);
        if (version.empty()) {
            version = process.report("version").front();
            renderer = process.report("renderer").front();
        }
        sleep_until(to + seconds(0.05));
        process.finish();
        const std::vector<Ns> flips = process.flips();
        const auto counted =
            std::count_if(flips.begin(), flips.end(),
                          [&](Ns t) { return t >= from && t < to; });
        return static_cast<double>(counted) / settings_.counted_s;
    }

    void frame_rate(std::vector<Row> &rows)
    {
        std::vector<double> ratios;
        std::vector<double> program;
        std::vector<double> baseline;
        // One untimed run first, and every other pair in the other order:
        // on a shared machine the run that comes second in a pair tends to
        // be the faster one, whichever program it is.
        progress("frame rate, warm-up", 1, 1);
        frames_per_second(draw_baseline_);
        for (int pair = 0; pair < settings_.pairs; ++pair) {
            const bool program_first = pair % 2 == 0;
            double fps[2];
            for (int i = 0; i < 2; ++i) {
                progress("frame rate", (2 * pair) + i + 1, 2 * settings_.pairs);
                const bool is_program = (i == 0) == program_first;
                fps[is_program] =
                    frames_per_second(is_program ? program_ : draw_baseline_);
            }
            program.push_back(fps[1]);
            baseline.push_back(fps[0]);
            ratios.push_back(fps[1] / fps[0]);
        }
        const Summary ratio = summarize(ratios);
        rows.push_back({"frame rate ratio (program / baseline)", ratio, 3,
                        ">= 0.97", verdict(ratio.median >= 0.97)});
        rows.push_back(
            {"frames/s, program", summarize(program), 0, "report", "-"});
        rows.push_back(
            {"frames/s, baseline", summarize(baseline), 0, "report", "-"});
    }

    void latency(std::vector<Row> &rows)
    {
        progress("event to line latency", 1, 1);
        Process process(program_, library_, next_dir());
        process.first_flip();
        std::vector<Ns> read;
        for (int i = 0; i < settings_.latency_events; ++i) {
            process.command("found");
            read.push_back(process.read_line("Display Found"));
        }
        const std::vector<std::string> emitted = process.report(
            "emit found", static_cast<std::size_t>(settings_.latency_events));
        process.finish();
        std::vector<double> ms;
        ms.reserve(read.size());
        for (std::size_t i = 0; i < read.size(); ++i)
            ms.push_back(static_cast<double>(read[i] - std::stoll(emitted[i])) /
                         ns_per_ms);
        const double p50 = percentile(ms, 0.5);
        const double p99 = percentile(ms, 0.99);
        const Summary all = summarize(ms);
        rows.push_back({"event -> line latency p50 (ms)",
                        {p50, all.min, all.max},
                        3,
                        "< 0.5",
                        verdict(p50 < 0.5)});
        rows.push_back({"event -> line latency p99 (ms)",
                        {p99, all.min, all.max},
                        3,
                        "< 2",
                        verdict(p99 < 2.0)});
    }

    Ns cpu_over(Process &process) const
    {
        const Ns before = process.cpu();
        sleep_until(now() + seconds(settings_.cpu_s));
        return process.cpu() - before;
    }

    void suspended_cpu(std::vector<Row> &rows)
    {
        progress("CPU while suspended", 1, 2);
        Ns program_cpu;
        Ns timer_cpu;
        {
            Process process(program_, library_, next_dir());
            process.first_flip();
            process.command("out");
            process.read_line("Display Switch Out");
            program_cpu = cpu_over(process);
            process.finish();
        }
        progress("CPU while suspended", 2, 2);
        {
            Process process(timer_baseline_, library_, next_dir());
            sleep_until(now() + seconds(0.2));
            timer_cpu = cpu_over(process);
            process.finish();
        }
        const double ratio =
            static_cast<double>(program_cpu) / static_cast<double>(timer_cpu);
        rows.push_back({"CPU while suspended (program / timer baseline)",
                        {ratio, ratio, ratio},
                        2,
                        "<= 1.1",
                        verdict(ratio <= 1.1)});
        const double ms = static_cast<double>(program_cpu) / ns_per_ms;
        rows.push_back({"CPU while suspended, program (ms over " +
                            std::to_string(static_cast<int>(settings_.cpu_s)) +
                            " s)",
                        {ms, ms, ms},
                        0,
                        "report",
                        "-"});
    }

    std::vector<double> first_frame_ms(const std::string &program,
                                       const std::string &name)
    {
        std::vector<double> ms;
        for (int run = 1; run <= settings_.first_frame_runs; ++run) {
            progress("time to first frame, " + name, run,
                     settings_.first_frame_runs);
            Process process(program, library_, next_dir());
            ms.push_back(
                static_cast<double>(process.first_flip() - process.started()) /
                ns_per_ms);
            process.finish();
        }
        return ms;
    }

    void first_frame(std::vector<Row> &rows)
    {
        const Summary program = summarize(first_frame_ms(program_, "program"));
        const Summary baseline =
            summarize(first_frame_ms(draw_baseline_, "baseline"));
        const bool met = program.median <= 1.2 * baseline.median;
        rows.push_back({"time to first frame, program (ms)", program, 1,
                        "<= 1.2 x baseline", verdict(met)});
        rows.push_back(
            {"time to first frame, baseline (ms)", baseline, 1, "report", "-"});
    }

    double peak_rss(const std::string &program)
    {
        Process process(program, library_, next_dir());
        process.first_flip();
        sleep_until(now() + seconds(settings_.memory_s));
        const double mib = process.peak_rss_mib();
        process.finish();
        return mib;
    }

    void memory(std::vector<Row> &rows)
    {
        progress("peak memory", 1, 2);
        const double program = peak_rss(program_);
        progress("peak memory", 2, 2);
        const double baseline = peak_rss(draw_baseline_);
        const std::string length =
            std::to_string(static_cast<int>(settings_.memory_s)) + " s";
        rows.push_back({"peak RSS, program (MiB, " + length + " run)",
                        {program, program, program},
                        1,
                        "<= 1.1 x baseline",
                        verdict(program <= 1.1 * baseline)});
        rows.push_back({"peak RSS, baseline (MiB, " + length + " run)",
                        {baseline, baseline, baseline},
                        1,
                        "report",
                        "-"});
    }

    void drain(std::vector<Row> &rows)
    {
        progress("batch drain", 1, 1);
        Process process(program_, library_, next_dir());
        process.first_flip();
        std::vector<double> ms;
        for (int hold = 1; hold <= settings_.drain_holds; ++hold) {
            sleep_until(now() + seconds(0.1));
            process.command("hold 50 found");
            const Ns printed = process.read_line("Display Found");
            const Ns returned = std::stoll(
                process
                    .report("held_flip_return", static_cast<std::size_t>(hold))
                    .back());
            ms.push_back(static_cast<double>(printed - returned) / ns_per_ms);
        }
        process.finish();
        const Summary after = summarize(ms);
        rows.push_back({"batch drain: line after a 50 ms flip (ms)", after, 3,
                        "< 3 (holds)", verdict(after.max < 3.0)});
    }

    Settings settings_;
    std::string program_, draw_baseline_, timer_baseline_, library_, work_;
    int runs_ = 0;
};

std::string table(const std::vector<Row> &rows)
{
    std::string text = "| figure | median | min | max | target | met |\n"
                       "|---|---|---|---|---|---|\n";
    for (const Row &row : rows) {
        char numbers[128];
        std::snprintf(numbers, sizeof numbers, "%.*f | %.*f | %.*f",
                      row.decimals, row.value.median, row.decimals,
                      row.value.min, row.decimals, row.value.max);
        text += "| " + row.figure + " | " + numbers + " | " + row.target +
                " | " + row.met + " |\n";
    }
    return text;
}

std::string cpu_model()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.rfind("model name", 0) == 0)
            return line.substr(line.find(':') + 2);
    return "unknown";
}

} // namespace

int main(int argc, char **argv)
{
    Settings settings = full;
    std::string doc;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick")
            settings = quick;
        else if (arg == "--doc" && i + 1 < argc)
            doc = argv[++i];
        else
            paths.push_back(arg);
    }
    if (paths.size() != 5) {
        std::fprintf(stderr, "usage: bench [--quick] [--doc FILE] PROGRAM "
                             "DRAW_BASELINE TIMER_BASELINE COUNTER_LIBRARY "
                             "WORK_DIR\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    try {
        Bench bench(settings, paths);
        const std::string results = table(bench.run());
        std::fputs(results.c_str(), stdout);
        if (!doc.empty()) {
            std::ofstream out(doc);
            out << "# Benchmarks\n\n"
                << "Made by `scripts/bench` on a private Xvfb (800x600x24): "
                   "display-loss-test "
                   "against the least loop that draws the same picture "
                   "(frame rate, start-up, memory) and the least loop that "
                   "waits on a 1590 Hz timer (CPU while suspended).\n\n"
                << "- CPU: " << cpu_model() << "\n"
                << "- cores: " << sysconf(_SC_NPROCESSORS_ONLN) << "\n"
                << "- Allegro: " << bench.version << "\n"
                << "- GL renderer: " << bench.renderer << "\n\n"
                << results;
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
