// The layout the desktop gets back once the program has ended, decided from
// the desktop's, what the program noted and the layout now: a table of
// layouts, each written as a short string.
#include "../src/x11_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>

namespace
{

// A mode by its name, WIDTHxHEIGHT, with made-up timings of its own and the
// id the server gives it by default; NAME#ID gives it another id, as a
// monitor plugged in again may get.
Mode mode(const std::string &token)
{
    Mode mode;
    char x;
    std::istringstream in(token);
    in >> mode.width >> x >> mode.height;
    const std::string names[] = {"",         "1920x1080", "800x600",
                                 "1024x768", "1600x900",  "3840x2160"};
    for (std::uint64_t id = 1; id < std::size(names); ++id)
        if (token.rfind(names[id], 0) == 0)
            mode.id = id;
    if (in.get() == '#')
        in >> mode.id;
    mode.dot_clock = std::uint64_t{mode.width} * mode.height * 60;
    mode.h_total = mode.width + 160;
    mode.v_total = mode.height + 30;
    return mode;
}

// "SCREEN: CRTC... ; offers MODE...": the screen's size in pixels (its
// millimetres a quarter of that), then each CRTC as N=MODE+X+Y or N=off,
// driving output 100+N, where "left", "scale:S", "move:X" or "pan:WxH"
// after it turn, scale, translate or pan it, and "+O" has it drive output O
// too. Every output offers the modes after "offers", by default all the
// named ones; "unplugged:O" offers none.
Layout layout(const std::string &text)
{
    Layout layout;
    std::istringstream in(text);
    char x;
    in >> layout.screen.width >> x >> layout.screen.height >> x;
    layout.screen.width_mm = layout.screen.width / 4;
    layout.screen.height_mm = layout.screen.height / 4;
    layout.smallest = {320, 200, 0, 0};
    layout.largest = {8192, 8192, 0, 0};
    std::vector<Mode> offers;
    std::vector<std::uint64_t> unplugged;
    bool offering = false;
    std::string token;
    while (in >> token) {
        if (token == ";" || token == "offers") {
            offering = true;
        } else if (offering) {
            offers.push_back(mode(token));
        } else if (token[0] == '+') {
            layout.crtcs.back().outputs.push_back(std::stoul(token));
        } else if (token.rfind("unplugged:", 0) == 0) {
            unplugged.push_back(std::stoul(token.substr(10)));
        } else if (token.rfind("move:", 0) == 0) {
            layout.crtcs.back().transform[0][2] =
                std::stoi(token.substr(5)) * fixed_one;
        } else if (token == "left") {
            layout.crtcs.back().rotation = 2;
        } else if (token.rfind("scale:", 0) == 0) {
            const auto scale = static_cast<std::int32_t>(
                std::lround(std::stod(token.substr(6)) * fixed_one));
            layout.crtcs.back().transform[0][0] = scale;
            layout.crtcs.back().transform[1][1] = scale;
        } else if (token.rfind("pan:", 0) == 0) {
            std::istringstream pan(token.substr(4));
            Panning &panning = layout.crtcs.back().panning;
            pan >> panning.width >> x >> panning.height;
        } else {
            Crtc crtc;
            crtc.id = std::stoul(token);
            crtc.outputs = {100 + crtc.id};
            const std::string shown = token.substr(token.find('=') + 1);
            if (shown != "off")
                crtc.mode = mode(shown);
            if (shown.find('+') != std::string::npos) {
                std::istringstream place(shown.substr(shown.find('+')));
                place >> crtc.x >> crtc.y;
            }
            layout.crtcs.push_back(crtc);
        }
    }
    if (!offering)
        for (const char *name :
             {"1920x1080", "800x600", "1024x768", "1600x900", "3840x2160"})
            offers.push_back(mode(name));
    for (const Crtc &crtc : layout.crtcs)
        for (const std::uint64_t output : crtc.outputs)
            layout.outputs.push_back(
                {output, std::count(unplugged.begin(), unplugged.end(), output)
                             ? std::vector<Mode>{}
                             : offers});
    return layout;
}

// "N=MODE+X+Y ...", a note of each CRTC's mode, place (+0+0 where none is
// written) and outputs.
std::vector<CrtcMode> noted(const std::string &text)
{
    std::vector<CrtcMode> notes;
    for (const Crtc &crtc : layout("0x0: " + text).crtcs)
        notes.push_back(note_of(crtc));
    return notes;
}

// The layout as the table writes what it expects.
std::string describe(const Layout &layout)
{
    std::ostringstream out;
    out << layout.screen.width << 'x' << layout.screen.height << " ("
        << layout.screen.width_mm << 'x' << layout.screen.height_mm << " mm):";
    for (const Crtc &crtc : layout.crtcs) {
        out << ' ' << crtc.id << '=';
        if (crtc.mode.id == 0) {
            out << "off";
            continue;
        }
        out << crtc.mode.width << 'x' << crtc.mode.height << '#' << crtc.mode.id
            << '+' << crtc.x << '+' << crtc.y;
        if (crtc.rotation != 1)
            out << " rotation " << crtc.rotation;
        if (crtc.transform[0][0] != fixed_one)
            out << " scale " << crtc.transform[0][0] * 1.0 / fixed_one;
        if (crtc.transform[0][2] != 0)
            out << " move " << crtc.transform[0][2] / fixed_one;
        if (crtc.outputs != std::vector<std::uint64_t>{100 + crtc.id})
            for (const std::uint64_t output : crtc.outputs)
                out << " +" << output;
        if (crtc.panning.width != 0)
            out << " pan " << crtc.panning.width << 'x' << crtc.panning.height;
    }
    return out.str();
}

// A row's name as a test's: letters and digits.
template <typename Param>
std::string test_name(const testing::TestParamInfo<Param> &info)
{
    std::string name;
    for (const char *c = info.param.name; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

struct Row {
    const char *name;
    const char *desktop;
    const char *display_made; // nullptr: never noted
    const char *before_release;
    const char *now;
    const char *expected;
    bool startup_failed = false;
};

void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

class GiveBack : public testing::TestWithParam<Row>
{
};

TEST_P(GiveBack, GivesTheDesktopWhatItHad)
{
    const Row &row = GetParam();
    Notes notes;
    notes.startup_failed = row.startup_failed;
    notes.display_noted = row.display_made != nullptr;
    if (row.display_made)
        notes.display_made = noted(row.display_made);
    notes.before_release = noted(row.before_release);

    const Layout wanted =
        layout_to_give_back(layout(row.desktop), notes, layout(row.now));

    EXPECT_EQ(describe(wanted), row.expected);
}

// Two monitors side by side; the display takes the first.
constexpr char two[] = "3840x1080: 1=1920x1080+0+0 2=1920x1080+1920+0";
constexpr char first_switched[] = "1=800x600 2=1920x1080";

INSTANTIATE_TEST_SUITE_P(
    , GiveBack,
    testing::Values(
        Row{"one monitor", "1920x1080: 1=1920x1080+0+0", "1=800x600",
            "1=800x600", "1920x1080: 1=800x600+0+0",
            "1920x1080 (480x270 mm): 1=1920x1080#1+0+0"},
        Row{"two monitors", two, first_switched, "1=800x600 2=1920x1080",
            "3840x1080: 1=800x600+0+0 2=1920x1080+1920+0",
            "3840x1080 (960x270 mm): 1=1920x1080#1+0+0 2=1920x1080#1+1920+0"},
        Row{"the other unplugged", two, first_switched, "1=800x600 2=off",
            "800x600: 1=800x600+0+0 2=off",
            "1920x1080 (480x270 mm): 1=1920x1080#1+0+0 2=off"},
        Row{"its own unplugged", two, first_switched, "1=off 2=1920x1080",
            "1920x1080: 1=1920x1080+0+0 2=1920x1080+0+0",
            "1920x1080 (480x270 mm): 1=off 2=1920x1080#1+0+0"},
        Row{"replugged with new mode ids", "1600x900: 1=1600x900+0+0",
            "1=800x600", "1=800x600",
            "1600x900: 1=800x600+0+0 ; offers 1600x900#7 800x600",
            "1600x900 (400x225 mm): 1=1600x900#7+0+0"},
        Row{"its mode gone for good", "1600x900: 1=1600x900+0+0", "1=800x600",
            "1=800x600", "1600x900: 1=800x600+0+0 ; offers 1920x1080 800x600",
            "1600x900 (400x225 mm): 1=800x600#2+0+0"},
        Row{"the screen larger than its monitors", "2560x1440: 1=1920x1080+0+0",
            "1=800x600", "1=800x600", "2560x1440: 1=800x600+0+0",
            "2560x1440 (640x360 mm): 1=1920x1080#1+0+0"},
        Row{"a rotated monitor, the other unplugged",
            "3000x1920: 1=1920x1080+0+0 left 2=1920x1080+1080+0",
            "1=800x600 2=1920x1080", "1=800x600 2=off",
            "800x600: 1=800x600+0+0 left 2=off",
            "1080x1920 (270x480 mm): 1=1920x1080#1+0+0 rotation 2 2=off"},
        Row{"a scaled monitor, the other unplugged",
            "6720x2700: 1=3840x2160+0+0 scale:1.25 2=1920x1080+4800+0",
            "1=800x600 2=1920x1080", "1=800x600 2=off",
            "800x600: 1=800x600+0+0 2=off",
            "4800x2700 (1200x675 mm): 1=3840x2160#5+0+0 scale 1.25 2=off"},
        Row{"a panning monitor, the other unplugged",
            "4480x1440: 1=1920x1080+0+0 pan:2560x1440 2=1920x1080+2560+0",
            "1=800x600 2=1920x1080", "1=800x600 2=off",
            "800x600: 1=800x600+0+0 2=off",
            "2560x1440 (640x360 mm): 1=1920x1080#1+0+0 pan 2560x1440 2=off"},
        Row{"a translated monitor, the other unplugged",
            "3940x1080: 1=1920x1080+0+0 move:100 2=1920x1080+2020+0",
            "1=800x600 2=1920x1080", "1=800x600 2=off",
            "800x600: 1=800x600+0+0 2=off",
            "2020x1080 (505x270 mm): 1=1920x1080#1+0+0 move 100 2=off"},
        Row{"moved left as the other was unplugged",
            "3840x1080: 1=1920x1080+1920+0 2=1920x1080+0+0",
            "1=800x600+1920+0 2=1920x1080", "1=800x600+0+0 2=off",
            "800x600: 1=800x600+0+0 2=off",
            "1920x1080 (480x270 mm): 1=1920x1080#1+0+0 2=off"},
        Row{"a mirror's first output unplugged",
            "1920x1080: 1=1920x1080+0+0 +102", "1=800x600", "1=800x600",
            "800x600: 1=800x600+0+0 +102 unplugged:101",
            "1920x1080 (480x270 mm): 1=1920x1080#1+0+0 +102"},
        Row{"a mirror's second output unplugged",
            "1920x1080: 1=1920x1080+0+0 +102", "1=800x600", "1=800x600",
            "800x600: 1=800x600+0+0 +102 unplugged:102",
            "1920x1080 (480x270 mm): 1=1920x1080#1+0+0"},
        Row{"a mirror's output back under a new id",
            "1920x1080: 1=1920x1080+0+0 +102", "1=800x600", "1=800x600",
            "800x600: 1=800x600+0+0",
            "1920x1080 (480x270 mm): 1=1920x1080#1+0+0"},
        Row{"a mirror's twin that the switch took off",
            "1920x1080: 1=1920x1080+0+0 +102", "1=800x600", "1=800x600",
            "800x600: 1=800x600+0+0 2=off",
            "1920x1080 (480x270 mm): 1=1920x1080#1+0+0 +101 +102 2=off"},
        Row{"a mirror's twin that another client took off",
            "1920x1080: 1=1920x1080+0+0 +102", "1=800x600 +102", "1=800x600",
            "800x600: 1=800x600+0+0 2=off",
            "1920x1080 (480x270 mm): 1=1920x1080#1+0+0 2=off"},
        Row{"another client's change kept", "1920x1080: 1=1920x1080+0+0",
            "1=800x600", "1=1024x768", "1024x768: 1=1024x768+0+0",
            "1024x768 (256x192 mm): 1=1024x768#3+0+0"},
        Row{"ended as the display was made", "1920x1080: 1=1920x1080+0+0",
            nullptr, "", "1920x1080: 1=800x600+0+0",
            "1920x1080 (480x270 mm): 1=1920x1080#1+0+0"},
        Row{"a start-up failure", "1920x1080: 1=1920x1080+0+0", nullptr, "",
            "1920x1080: 1=1024x768+0+0",
            "1920x1080 (480x270 mm): 1=1024x768#3+0+0", true}),
    test_name<Row>);

// A layout set on a stand-in server that refuses, with an error, what a row
// says: "screen" every screen size, "N" each setting of CRTC N to a mode,
// "pan:N" each panning of CRTC N; and, as the X server does, a screen that
// would not hold what is on and a CRTC that would not fit its screen.
// "late:N" refuses CRTC N's settings by the answer alone, with no error, as
// RandR answers a request made on a configuration that has changed since.
struct Refused {
    const char *name;
    const char *refuses;
    const char *now;
    const char *wanted;
    const char *expected;
};

void PrintTo(const Refused &row, std::ostream *out)
{
    *out << row.name;
}

class SetLayout : public testing::TestWithParam<Refused>
{
};

TEST_P(SetLayout, NeverLeavesFewerMonitorsOn)
{
    const Refused &row = GetParam();
    std::istringstream words(row.refuses);
    const std::vector<std::string> refuses{
        std::istream_iterator<std::string>(words), {}};
    const auto refused = [&refuses](const std::string &what) {
        return std::count(refuses.begin(), refuses.end(), what) > 0;
    };
    Layout server = layout(row.now);
    bool error = false;
    const auto crtc_on_server = [&server](std::uint64_t id) -> Crtc & {
        return *std::find_if(server.crtcs.begin(), server.crtcs.end(),
                             [id](const Crtc &crtc) { return crtc.id == id; });
    };
    const LayoutRequests requests = {
        [&](const ScreenSize &size) {
            const bool holds = std::all_of(
                server.crtcs.begin(), server.crtcs.end(), [&](const Crtc &c) {
                    return covered(c).right <= size.width &&
                           covered(c).bottom <= size.height;
                });
            error = error || refused("screen") || !holds;
            if (!error)
                server.screen = size;
        },
        [&](const Crtc &crtc) {
            Crtc &shown = crtc_on_server(crtc.id);
            shown.transform = crtc.transform;
        },
        [&](const Crtc &crtc) {
            Crtc &shown = crtc_on_server(crtc.id);
            Crtc set = crtc;
            set.transform = shown.transform;
            set.panning = shown.panning;
            const Edges edges = covered(set);
            if (crtc.mode.id != 0 && refused("late:" + std::to_string(crtc.id)))
                return false;
            if ((crtc.mode.id != 0 && refused(std::to_string(crtc.id))) ||
                edges.right > server.screen.width ||
                edges.bottom > server.screen.height) {
                error = true;
                return false;
            }
            shown = set;
            return true;
        },
        [&](const Crtc &crtc) {
            if (refused("pan:" + std::to_string(crtc.id))) {
                error = true;
                return false;
            }
            crtc_on_server(crtc.id).panning = crtc.panning;
            return true;
        },
        [&error] { return !std::exchange(error, false); }};

    const Layout shown =
        set_layout(layout(row.now), layout(row.wanted), requests);

    EXPECT_EQ(describe(server), row.expected);
    EXPECT_EQ(describe(shown), row.expected);
}

// Two monitors side by side, the first at the display's mode.
constexpr char switched[] = "3840x1080: 1=800x600+0+0 2=1920x1080+1920+0";
constexpr char switched_as_shown[] =
    "3840x1080 (960x270 mm): 1=800x600#2+0+0 2=1920x1080#1+1920+0";

INSTANTIATE_TEST_SUITE_P(
    , SetLayout,
    testing::Values(
        Refused{"stacked", "screen", switched,
                "1920x2160: 1=1920x1080+0+0 2=1920x1080+0+1080",
                switched_as_shown},
        Refused{"one meant to go off stays off", "screen", switched,
                "1920x1080: 1=1920x1080+0+0 2=off",
                "3840x1080 (960x270 mm): 1=800x600#2+0+0 2=off"},
        Refused{"the first CRTC refused, after the screen took its size", "1",
                switched, "1920x2160: 1=1920x1080+0+0 2=1920x1080+0+1080",
                switched_as_shown},
        Refused{"a middle CRTC refused", "2",
                "4640x1080: 1=800x600+0+0 2=1920x1080+800+0 3=1920x1080+2720+0",
                "5760x1080: 1=1920x1080+0+0 2=1920x1080+1920+0 "
                "3=1920x1080+3840+0",
                "4640x1080 (1160x270 mm): 1=800x600#2+0+0 "
                "2=1920x1080#1+800+0 3=1920x1080#1+2720+0"},
        Refused{"the last CRTC refused, its mirror's twin kept on", "1",
                switched, "1920x1080: 1=1920x1080+0+0 +102 2=off",
                switched_as_shown},
        Refused{"a CRTC refused by the answer alone", "late:1", switched,
                "1920x2160: 1=1920x1080+0+0 2=1920x1080+0+1080",
                switched_as_shown},
        Refused{"its panning refused", "pan:1", "1920x1080: 1=800x600+0+0",
                "2560x1440: 1=1920x1080+0+0 pan:2560x1440",
                "1920x1080 (480x270 mm): 1=800x600#2+0+0"}),
    test_name<Refused>);

} // namespace
