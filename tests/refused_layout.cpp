// The desktop's layout set with a request that the X server refuses, as the
// watcher sets it: on a desktop of two monitors side by side, the second
// mirrored onto the first on a screen of the first's size, the first given
// a rotation that RandR refuses (two at once). The second goes off and the
// screen shrinks before the first is refused; what the server shows after
// the roll-back is the test's to read.
#include "../src/x11_internal.h"

#include <X11/extensions/randr.h>

#include <algorithm>
#include <cstdio>
#include <vector>

int main()
{
    Display *x = XOpenDisplay(nullptr);
    if (!x) {
        std::fprintf(stderr, "refused-layout: cannot open the X display\n");
        return 1;
    }
    take_x_errors();
    Layout now;
    if (!read_layout(x, now)) {
        std::fprintf(stderr, "refused-layout: the server has no RandR\n");
        return 1;
    }
    Layout wanted = now;
    std::vector<Crtc *> on;
    for (Crtc &crtc : wanted.crtcs)
        if (crtc.mode.id != 0)
            on.push_back(&crtc);
    if (on.size() != 2) {
        std::fprintf(stderr, "refused-layout: %zu monitors on, expected 2\n",
                     on.size());
        return 1;
    }
    std::sort(on.begin(), on.end(),
              [](const Crtc *a, const Crtc *b) { return a->x < b->x; });
    Crtc &first = *on[0];
    Crtc &second = *on[1];
    first.outputs.insert(first.outputs.end(), second.outputs.begin(),
                         second.outputs.end());
    first.rotation = RR_Rotate_0 | RR_Rotate_90;
    second.mode = {};
    second.outputs.clear();
    wanted.screen = {static_cast<std::int32_t>(first.mode.width),
                     static_cast<std::int32_t>(first.mode.height),
                     now.screen.width_mm *
                         static_cast<std::int32_t>(first.mode.width) /
                         now.screen.width,
                     now.screen.height_mm};
    apply_layout(x, now, wanted);
    XCloseDisplay(x);
    return 0;
}
