// display-loss-test: zlib licence, see LICENSE.
//
// What only X11 needs: Xlib's errors handled by the program, and the desktop
// given its layout back however the program ends, by a watcher process of
// its own. Elsewhere these calls do nothing.
#pragma once

#include <allegro5/allegro.h>

#ifdef ALLEGRO_WITH_XWINDOWS
// Before the display is asked for, and before the library starts a thread:
// takes over Xlib's error handlers, notes the desktop's layout and starts
// the watcher.
void watch_x11_desktop();
// Once the display exists: notes the mode it set.
void note_x11_display_mode();
// Just before the display is released: notes which outputs are off (their
// monitors unplugged), so that they stay off after the release.
void note_x11_outputs();
// Whether the X server refused a request of the program's (another client
// destroyed its window, say); the run then ends.
bool x11_error_happened();
#else
inline void watch_x11_desktop()
{
}
inline void note_x11_display_mode()
{
}
inline void note_x11_outputs()
{
}
inline bool x11_error_happened()
{
    return false;
}
#endif
