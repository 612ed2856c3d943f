// display-loss-test: zlib licence, see LICENSE.
//
// What only X11 needs: Xlib's errors handled by the program, and the desktop
// given its mode back when the library's connection is lost. Elsewhere these
// calls do nothing.
#pragma once

#include <allegro5/allegro.h>

#ifdef ALLEGRO_WITH_XWINDOWS
// Before the display is asked for: takes over Xlib's error handlers and notes
// the mode of each of the screen's outputs.
void watch_x11_desktop();
// Once the display exists: notes the mode it set.
void note_x11_display_mode();
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
inline bool x11_error_happened()
{
    return false;
}
#endif
