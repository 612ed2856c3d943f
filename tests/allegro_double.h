// A scripted stand-in for the parts of Allegro the program calls. The program
// is built a second time, with its main renamed program_main, and linked
// against this instead of the library: each run follows a script (which call
// fails, which events arrive in which batches) and leaves a trace of the calls
// the program made and the lines it wrote, in the order they happened.
#pragma once

#include <allegro5/allegro.h>

#include <cstddef>
#include <string>
#include <vector>

int program_main(int argc, char **argv);

namespace fake
{

struct Script {
    std::string failing_call; // e.g. "al_create_display"; empty: nothing fails
    std::vector<std::vector<ALLEGRO_EVENT>> batches;
};

struct Run {
    int status = 0;
    std::vector<std::string> trace; // "al_rest(4)", "out: Display Lost\n", ...
    std::size_t events_left = 0;    // events of the last batch never taken
    std::string error;              // why the run was cut short, if it was
};

Run run(const Script &script);

ALLEGRO_EVENT event(ALLEGRO_EVENT_TYPE type, int keycode = 0);

} // namespace fake
