// The program's logic against the scripted library: start-up failures, the
// dispatch and suspension rules, batches, and the order of start and end.
#include "allegro_double.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <string>
#include <vector>

namespace
{

using Trace = std::vector<std::string>;
using Batches = std::vector<std::vector<ALLEGRO_EVENT>>;

const Trace startup = {
    "al_install_system(ALLEGRO_VERSION_INT, atexit)",
    "al_install_keyboard()",
    "al_set_new_display_flags(2)",
    "al_create_display(800, 600)",
    "al_create_event_queue()",
    "al_create_timer(1.0 / 1590.0f)",
    "al_register_event_source(queue, keyboard)",
    "al_register_event_source(queue, display)",
    "al_register_event_source(queue, timer)",
    "al_get_backbuffer(display)",
    "al_create_bitmap(200, 200)",
    "al_set_target_bitmap(bitmap)",
    "al_clear_to_color(0, 100, 0, 255)",
    "al_set_target_bitmap(backbuffer)",
    "al_start_timer(timer)",
};

const Trace frame = {
    "al_set_target_bitmap(bitmap)",
    "al_set_target_bitmap(backbuffer)",
    "al_clear_to_color(100, 0, 0, 255)",
    "al_draw_bitmap(bitmap, 0, 0, 0)",
    "al_flip_display()",
};

const std::string blocking_wait = "al_wait_for_event(queue) blocks";

const Trace shutdown = {
    "al_destroy_bitmap(bitmap)",
    "al_destroy_display(display)",
    "al_destroy_timer(timer)",
    "al_destroy_event_queue(queue)",
    "al_rest(1)",
};

Trace operator+(Trace head, const Trace &tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

bool starts_with(const Trace &trace, std::size_t at, const Trace &part)
{
    return trace.size() >= at + part.size() &&
           std::equal(part.begin(), part.end(),
                      trace.begin() + static_cast<std::ptrdiff_t>(at));
}

// The main loop's part of a trace, each whole frame shown as "frame" and each
// blocking wait as "batch", so a case reads as the sequence it is about.
Trace loop_view(const Trace &trace)
{
    Trace view;
    const std::size_t end = trace.size() - shutdown.size();
    for (std::size_t at = startup.size(); at < end;) {
        if (starts_with(trace, at, frame)) {
            view.push_back("frame");
            at += frame.size();
        } else {
            view.push_back(trace[at] == blocking_wait ? "batch" : trace[at]);
            ++at;
        }
    }
    return view;
}

std::string test_name(const char *description)
{
    std::string name;
    for (const char *c = description; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

const ALLEGRO_EVENT lost = fake::event(ALLEGRO_EVENT_DISPLAY_LOST);
const ALLEGRO_EVENT found = fake::event(ALLEGRO_EVENT_DISPLAY_FOUND);
const ALLEGRO_EVENT switch_in = fake::event(ALLEGRO_EVENT_DISPLAY_SWITCH_IN);
const ALLEGRO_EVENT switch_out = fake::event(ALLEGRO_EVENT_DISPLAY_SWITCH_OUT);
const ALLEGRO_EVENT close_request = fake::event(ALLEGRO_EVENT_DISPLAY_CLOSE);
const ALLEGRO_EVENT tick = fake::event(ALLEGRO_EVENT_TIMER);
const ALLEGRO_EVENT escape =
    fake::event(ALLEGRO_EVENT_KEY_DOWN, ALLEGRO_KEY_ESCAPE);

TEST(NormalRun, StartsDrawsWaitsAndEndsInOrder)
{
    const fake::Run run = fake::run({"", {{escape}}});

    EXPECT_EQ(run.error, "");
    EXPECT_EQ(run.trace, startup + frame + Trace{blocking_wait} + shutdown);
    EXPECT_EQ(run.status, 0);
}

struct StartupFailure {
    const char *call;
    Trace after; // what follows the failing call
};

void PrintTo(const StartupFailure &failure, std::ostream *out)
{
    *out << failure.call << " fails";
}

class StartupFailures : public testing::TestWithParam<StartupFailure>
{
};

TEST_P(StartupFailures, WriteTheirLineReleaseWhatExistsAndReturnMinusOne)
{
    const StartupFailure &failure = GetParam();
    const fake::Run run = fake::run({failure.call, {}});

    const auto failing = std::find_if(
        startup.begin(), startup.end(), [&](const std::string &call) {
            return call.rfind(std::string(failure.call) + "(", 0) == 0;
        });
    ASSERT_NE(failing, startup.end());
    Trace expected(startup.begin(), failing);
    expected.push_back(*failing + " fails");

    EXPECT_EQ(run.error, "");
    EXPECT_EQ(run.trace, expected + failure.after);
    EXPECT_EQ(run.status, -1);
}

INSTANTIATE_TEST_SUITE_P(
    , StartupFailures,
    testing::Values(
        StartupFailure{"al_install_system", {"out: Could not init Allegro.\n"}},
        StartupFailure{"al_install_keyboard",
                       {"out: Could not install keyboard.\n"}},
        StartupFailure{"al_create_display",
                       {"out: Could not create display.\n", "al_rest(4)"}},
        StartupFailure{"al_create_event_queue",
                       {"out: Could not create queue.\n",
                        "al_destroy_display(display)", "al_rest(4)"}},
        StartupFailure{"al_create_timer",
                       {"al_destroy_display(display)",
                        "al_destroy_event_queue(queue)",
                        "out: Could not create timer.\n", "al_rest(4)"}},
        StartupFailure{"al_create_bitmap",
                       {"al_destroy_display(display)",
                        "al_destroy_timer(timer)",
                        "al_destroy_event_queue(queue)",
                        "out: Failed to load image.\n", "al_rest(4)"}}),
    [](const testing::TestParamInfo<StartupFailure> &info) {
        return test_name(info.param.call);
    });

struct LoopCase {
    const char *description;
    Batches batches;
    Trace loop;
    std::size_t events_left;
};

void PrintTo(const LoopCase &row, std::ostream *out)
{
    *out << row.description;
}

class Loop : public testing::TestWithParam<LoopCase>
{
};

TEST_P(Loop, PrintsSuspendsAndEndsAsTheEventsSay)
{
    const LoopCase &row = GetParam();
    const fake::Run run = fake::run({"", row.batches});

    EXPECT_EQ(run.error, "");
    ASSERT_TRUE(starts_with(run.trace, 0, startup));
    ASSERT_GE(run.trace.size(), startup.size() + shutdown.size());
    EXPECT_TRUE(
        starts_with(run.trace, run.trace.size() - shutdown.size(), shutdown));
    EXPECT_EQ(loop_view(run.trace), row.loop);
    EXPECT_EQ(run.events_left, row.events_left);
    EXPECT_EQ(run.status, 0);
}

const std::vector<ALLEGRO_EVENT> backlog(80, tick);

INSTANTIATE_TEST_SUITE_P(
    , Loop,
    testing::Values(
        LoopCase{"close ends the run",
                 {{close_request}},
                 {"frame", "batch", "out: User clicked on close.\n"},
                 0},
        LoopCase{"lost suspends drawing",
                 {{lost}, {tick}, {escape}},
                 {"frame", "batch", "out: Display Lost\n", "batch", "batch"},
                 0},
        LoopCase{"found resumes drawing",
                 {{lost}, {tick}, {found}, {tick}, {escape}},
                 {"frame", "batch", "out: Display Lost\n", "batch", "batch",
                  "out: Display Found\n", "frame", "batch", "frame", "batch"},
                 0},
        LoopCase{"switch out suspends and switch in alone does not resume",
                 {{switch_out}, {switch_in}, {tick}, {escape}},
                 {"frame", "batch", "out: Display Switch Out\n", "batch",
                  "out: Display Switch In\n", "batch", "batch"},
                 0},
        LoopCase{"found after a switch out resumes drawing",
                 {{switch_out}, {found}, {escape}},
                 {"frame", "batch", "out: Display Switch Out\n", "batch",
                  "out: Display Found\n", "frame", "batch"},
                 0},
        LoopCase{"found with no earlier loss is printed and drawing goes on",
                 {{found}, {tick}, {escape}},
                 {"frame", "batch", "out: Display Found\n", "frame", "batch",
                  "frame", "batch"},
                 0},
        LoopCase{"a second lost is still printed",
                 {{lost}, {lost}, {found}, {escape}},
                 {"frame", "batch", "out: Display Lost\n", "batch",
                  "out: Display Lost\n", "batch", "out: Display Found\n",
                  "frame", "batch"},
                 0},
        LoopCase{"only the key down of Escape ends the run",
                 {{fake::event(ALLEGRO_EVENT_KEY_UP, ALLEGRO_KEY_ESCAPE),
                   fake::event(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_ESCAPE),
                   fake::event(ALLEGRO_EVENT_KEY_DOWN, ALLEGRO_KEY_A),
                   fake::event(ALLEGRO_EVENT_KEY_DOWN, ALLEGRO_KEY_ENTER)},
                  {tick},
                  {escape}},
                 {"frame", "batch", "frame", "batch", "frame", "batch"},
                 0},
        LoopCase{"other display events are ignored",
                 {{fake::event(ALLEGRO_EVENT_DISPLAY_EXPOSE),
                   fake::event(ALLEGRO_EVENT_DISPLAY_RESIZE),
                   fake::event(ALLEGRO_EVENT_DISPLAY_HALT_DRAWING)},
                  {escape}},
                 {"frame", "batch", "frame", "batch"},
                 0},
        LoopCase{"events behind a close in its batch are never handled",
                 {{close_request, switch_out, lost, close_request}},
                 {"frame", "batch", "out: User clicked on close.\n"},
                 3},
        LoopCase{"events behind Escape in its batch are never handled",
                 {{escape, lost, close_request}},
                 {"frame", "batch"},
                 2},
        LoopCase{
            "display events in one batch print in order before one frame",
            {{switch_out, switch_in, tick, found, lost, found, tick}, {escape}},
            {"frame", "batch", "out: Display Switch Out\n",
             "out: Display Switch In\n", "out: Display Found\n",
             "out: Display Lost\n", "out: Display Found\n", "frame", "batch"},
            0},
        LoopCase{"a backlog of ticks is one batch and one frame",
                 {backlog, backlog, {escape}},
                 {"frame", "batch", "frame", "batch", "frame", "batch"},
                 0},
        LoopCase{"close while suspended ends normally",
                 {{switch_out}, {tick}, {close_request}},
                 {"frame", "batch", "out: Display Switch Out\n", "batch",
                  "batch", "out: User clicked on close.\n"},
                 0},
        LoopCase{"Escape while suspended ends normally",
                 {{lost}, {tick, escape}},
                 {"frame", "batch", "out: Display Lost\n", "batch"},
                 0}),
    [](const testing::TestParamInfo<LoopCase> &info) {
        return test_name(info.param.description);
    });

} // namespace
