// display-loss-test: zlib licence, see LICENSE.
//
// The desktop's layout as plain records, and the decision of what it gets
// back once the program has ended. Reading the X server into these records
// and applying the result are done elsewhere (x11_randr.cpp); nothing here
// talks to a server.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A mode by its id and its timings. A monitor plugged in again offers its
// modes anew, maybe under new ids: the timings say which mode is which.
struct Mode {
    std::uint64_t id = 0; // 0: no mode, the CRTC is off
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint64_t dot_clock = 0;
    std::uint32_t h_sync_start = 0;
    std::uint32_t h_sync_end = 0;
    std::uint32_t h_total = 0;
    std::uint32_t h_skew = 0;
    std::uint32_t v_sync_start = 0;
    std::uint32_t v_sync_end = 0;
    std::uint32_t v_total = 0;
    std::uint64_t flags = 0;
};

bool same_timings(const Mode &a, const Mode &b);

// RandR's projective transform, in 16.16 fixed point: it maps the CRTC's
// pixels to the screen's (--scale 2x2 makes a monitor cover twice its mode).
using Transform = std::array<std::array<std::int32_t, 3>, 3>;
constexpr std::int32_t fixed_one = 0x10000;
constexpr Transform identity = {
    {{fixed_one, 0, 0}, {0, fixed_one, 0}, {0, 0, fixed_one}}};

// The screen area a CRTC pans over; none where width is 0.
struct Panning {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t track_left = 0;
    std::int32_t track_top = 0;
    std::int32_t track_width = 0;
    std::int32_t track_height = 0;
    std::int32_t border_left = 0;
    std::int32_t border_top = 0;
    std::int32_t border_right = 0;
    std::int32_t border_bottom = 0;
};

bool operator==(const Panning &a, const Panning &b);

struct Crtc {
    std::uint64_t id = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    Mode mode;
    std::uint32_t rotation = 1; // RandR's RR_Rotate_0
    Transform transform = identity;
    std::string filter;
    std::vector<std::int32_t> filter_params;
    Panning panning;
    std::vector<std::uint64_t> outputs;
};

// The modes an output offers now.
struct Output {
    std::uint64_t id = 0;
    std::vector<Mode> modes;
};

struct ScreenSize {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t width_mm = 0;
    std::int32_t height_mm = 0;
};

struct Layout {
    ScreenSize screen;
    // The sizes the server allows the screen, read with the layout.
    ScreenSize smallest;
    ScreenSize largest;
    std::vector<Crtc> crtcs;
    std::vector<Output> outputs;
};

// A CRTC's mode, place and outputs, as the program notes it to the
// watcher: plain bytes. A CRTC drives a few outputs at most (the hardware's
// clones); any past the first eight are not noted.
struct CrtcMode {
    std::uint64_t crtc = 0;
    Mode mode;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t output_count = 0;
    std::array<std::uint64_t, 8> outputs{};
};

CrtcMode note_of(const Crtc &crtc);

// What the program noted during the run.
struct Notes {
    // The program ended by itself before its display was made or soon
    // after ("Could not create display."): what changed since is not its.
    bool startup_failed = false;
    // The modes the display set, once it was made; without them, any CRTC
    // that changed since the start is taken for the display's.
    bool display_noted = false;
    std::vector<CrtcMode> display_made;
    // Each CRTC's mode just before the display was released, where noted.
    std::vector<CrtcMode> before_release;
};

// The screen area a CRTC covers, as its right and bottom edges: its panning
// area where it pans, else its mode, turned and transformed (moved, too,
// where the transform translates), from its position. 0, 0 where it is off.
struct Edges {
    std::int64_t right = 0;
    std::int64_t bottom = 0;
};
Edges covered(const Crtc &crtc);

// The layout to give the desktop once the program has ended, from the
// desktop's before the display was asked for, what the program noted, and
// the layout now. Each CRTC that still shows the display's mode gets the
// desktop's back, with its rotation, transform and panning, found by its
// timings among the modes its outputs still there offer now; where another
// client moved it since the display was made, it stays where it was moved.
// An output unplugged, or that another client took off the CRTC, is
// dropped; one that the display's own switch took off (a mirror's twin with
// no mode of the display's size) is given back where no CRTC drives it now. One
// that another client changed or turned off keeps that; one that was off just
// before the release and that the release turned back on goes off. The
// screen gets its size back where what is on fits it, or just the size for
// what is still on where an output went off.
Layout layout_to_give_back(const Layout &desktop, const Notes &notes,
                           const Layout &now);

// Whether a CRTC shows the same in both: only the mode matters for one off.
bool same(const Crtc &a, const Crtc &b);

// The requests that set a layout on a server, as RandR has them. The
// server refuses a request with an error, which `taken` alone tells: whether
// it took every request since `taken` was last asked. Setting a CRTC and
// its panning are answered too, false where the server did not take them.
struct LayoutRequests {
    std::function<void(const ScreenSize &size)> set_screen_size;
    // Takes effect with the CRTC's next setting.
    std::function<void(const Crtc &crtc)> set_transform;
    // Its mode, place, rotation and outputs.
    std::function<bool(const Crtc &crtc)> set_crtc;
    std::function<bool(const Crtc &crtc)> set_panning;
    std::function<bool()> taken;
};

// Sets what differs between `now` and `wanted`, as xrandr does it: each
// CRTC that is to go off, or would not fit the new screen, goes off first;
// then the screen takes its size; then each CRTC that is to change is set.
// Where the server refuses a request, everything goes back to `now`, but
// for the CRTCs meant to go off: the desktop is never left with fewer
// monitors on than it had. A CRTC whose setting was taken counts as set even
// where its transform or panning was refused, so that it goes back too.
// Returns what the server shows after.
Layout set_layout(const Layout &now, const Layout &wanted,
                  const LayoutRequests &requests);
