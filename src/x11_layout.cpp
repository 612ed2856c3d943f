// display-loss-test: zlib licence, see LICENSE.

#include "x11_layout.h"

#include <X11/extensions/randr.h>

#include <algorithm>
#include <cmath>
#include <optional>

namespace
{

template <typename Record>
const Record *find_crtc(const std::vector<Record> &records, std::uint64_t id)
{
    const auto found =
        std::find_if(records.begin(), records.end(),
                     [id](const Record &record) { return record.id == id; });
    return found == records.end() ? nullptr : &*found;
}

const CrtcMode *find_note(const std::vector<CrtcMode> &notes, std::uint64_t id)
{
    const auto found =
        std::find_if(notes.begin(), notes.end(),
                     [id](const CrtcMode &note) { return note.crtc == id; });
    return found == notes.end() ? nullptr : &*found;
}

bool same_mode(const Mode &a, const Mode &b)
{
    return a.id == b.id || (a.id != 0 && b.id != 0 && same_timings(a, b));
}

Crtc turned_off(std::uint64_t id)
{
    Crtc off;
    off.id = id;
    return off;
}

bool offers(const std::vector<Output> &offered, std::uint64_t output,
            const Mode &mode)
{
    const Output *found = find_crtc(offered, output);
    return found && std::any_of(found->modes.begin(), found->modes.end(),
                                [&mode](const Mode &offer) {
                                    return offer.id == mode.id;
                                });
}

// The mode with the timings of `wanted` that every one of `outputs` offers
// now, the one of the same id where there is a choice.
std::optional<Mode> offered_mode(const Mode &wanted,
                                 const std::vector<std::uint64_t> &outputs,
                                 const std::vector<Output> &offered)
{
    const Output *first =
        outputs.empty() ? nullptr : find_crtc(offered, outputs[0]);
    if (!first)
        return std::nullopt;
    std::optional<Mode> found;
    for (const Mode &mode : first->modes) {
        if (!same_timings(mode, wanted) ||
            !std::all_of(outputs.begin(), outputs.end(),
                         [&](std::uint64_t output) {
                             return offers(offered, output, mode);
                         }))
            continue;
        if (!found || mode.id == wanted.id)
            found = mode;
    }
    return found;
}

bool drives(const Crtc &crtc, std::uint64_t output)
{
    return crtc.mode.id != 0 &&
           std::find(crtc.outputs.begin(), crtc.outputs.end(), output) !=
               crtc.outputs.end();
}

// Whether a CRTC that is on drives `output`.
bool driven(const Layout &layout, std::uint64_t output)
{
    return std::any_of(
        layout.crtcs.begin(), layout.crtcs.end(),
        [output](const Crtc &crtc) { return drives(crtc, output); });
}

// The desktop's outputs of a CRTC that are still there: still on it, and
// offering a mode (an unplugged one offers none).
std::vector<std::uint64_t>
outputs_still_there(const Crtc &was, const Crtc &now,
                    const std::vector<Output> &offered)
{
    std::vector<std::uint64_t> outputs;
    for (const std::uint64_t id : was.outputs) {
        const Output *output = find_crtc(offered, id);
        if (output && !output->modes.empty() && drives(now, id))
            outputs.push_back(id);
    }
    return outputs;
}

// Whether the display's own switch took `output` off the CRTC: it was not on
// it once the display was made (where that was noted), and no CRTC drives it
// now.
bool taken_off_by_display(std::uint64_t output, const CrtcMode *display,
                          const Layout &now)
{
    if (driven(now, output))
        return false;
    if (!display)
        return true;
    const std::uint64_t *const noted = display->outputs.data();
    const std::uint64_t *const end =
        noted +
        std::min<std::size_t>(display->output_count, display->outputs.size());
    return std::find(noted, end, output) == end;
}

Crtc wanted_crtc(const Crtc &now, const Layout &desktop, const Notes &notes,
                 const Layout &now_layout)
{
    const CrtcMode *before = find_note(notes.before_release, now.id);
    if (before && before->mode.id == 0 && now.mode.id != 0)
        return turned_off(now.id);
    const Crtc *was = find_crtc(desktop.crtcs, now.id);
    if (!was || same_mode(now.mode, was->mode))
        return now;
    const CrtcMode *display = nullptr;
    if (notes.display_noted) {
        display = find_note(notes.display_made, now.id);
        if (!display || !same_mode(now.mode, display->mode))
            return now;
    }
    if (was->mode.id == 0)
        return *was;
    Crtc wanted = *was;
    const std::vector<Output> &offered = now_layout.outputs;
    const std::vector<std::uint64_t> still_there =
        outputs_still_there(*was, now, offered);
    const std::optional<Mode> mode =
        offered_mode(was->mode, still_there, offered);
    if (!mode)
        return now;
    wanted.mode = *mode;
    wanted.outputs.clear();
    for (const std::uint64_t id : was->outputs)
        if (std::count(still_there.begin(), still_there.end(), id) ||
            (offers(offered, id, *mode) &&
             taken_off_by_display(id, display, now_layout)))
            wanted.outputs.push_back(id);
    if (display && (now.x != display->x || now.y != display->y)) {
        wanted.x = now.x;
        wanted.y = now.y;
    }
    return wanted;
}

bool same_transform(const Crtc &a, const Crtc &b)
{
    return a.transform == b.transform && a.filter == b.filter &&
           a.filter_params == b.filter_params;
}

// Sets one CRTC, each request's outcome read once, and returns what it
// shows after: `shown` where its setting was refused, else `wanted` with the
// transform and panning it showed where the server refused those. A
// transform given for a setting that was refused is taken back, or the next
// setting would take it up.
Crtc set_crtc(const Crtc &shown, const Crtc &wanted,
              const LayoutRequests &requests)
{
    const bool transforming =
        wanted.mode.id != 0 && !same_transform(wanted, shown);
    bool transformed = false;
    if (transforming) {
        requests.set_transform(wanted);
        transformed = requests.taken();
    }
    const bool answered = requests.set_crtc(wanted);
    if (!requests.taken() || !answered) {
        if (transformed) {
            requests.set_transform(shown);
            requests.taken();
        }
        return shown;
    }
    Crtc now = wanted;
    if (transforming && !transformed) {
        now.transform = shown.transform;
        now.filter = shown.filter;
        now.filter_params = shown.filter_params;
    }
    if (wanted.mode.id != 0 && !(wanted.panning == shown.panning)) {
        const bool panned = requests.set_panning(wanted);
        if (!requests.taken() || !panned)
            now.panning = shown.panning;
    }
    return now;
}

// Sets `wanted` over `shown` in xrandr's order, `shown` following what the
// server took; false at the first refusal.
bool set_in_order(Layout &shown, const Layout &wanted,
                  const LayoutRequests &requests)
{
    for (std::size_t i = 0; i < shown.crtcs.size(); ++i) {
        Crtc &crtc = shown.crtcs[i];
        const Edges edges = covered(crtc);
        if (!same(crtc, wanted.crtcs[i]) &&
            (wanted.crtcs[i].mode.id == 0 ||
             edges.right > wanted.screen.width ||
             edges.bottom > wanted.screen.height)) {
            if (set_crtc(crtc, turned_off(crtc.id), requests).mode.id != 0)
                return false;
            // Its transform and panning stay with it on the server.
            crtc.mode = {};
            crtc.outputs.clear();
        }
    }
    const ScreenSize &from = shown.screen;
    const ScreenSize &to = wanted.screen;
    if (to.width != from.width || to.height != from.height ||
        to.width_mm != from.width_mm || to.height_mm != from.height_mm) {
        requests.set_screen_size(to);
        if (!requests.taken())
            return false;
        shown.screen = to;
    }
    for (std::size_t i = 0; i < shown.crtcs.size(); ++i) {
        Crtc &crtc = shown.crtcs[i];
        if (same(crtc, wanted.crtcs[i]) || wanted.crtcs[i].mode.id == 0)
            continue;
        crtc = set_crtc(crtc, wanted.crtcs[i], requests);
        if (!same(crtc, wanted.crtcs[i]))
            return false;
    }
    return true;
}

} // namespace

CrtcMode note_of(const Crtc &crtc)
{
    CrtcMode note = {crtc.id, crtc.mode, crtc.x, crtc.y};
    note.output_count = static_cast<std::uint32_t>(
        std::min(crtc.outputs.size(), note.outputs.size()));
    std::copy_n(crtc.outputs.begin(), note.output_count, note.outputs.begin());
    return note;
}

bool same_timings(const Mode &a, const Mode &b)
{
    return a.width == b.width && a.height == b.height &&
           a.dot_clock == b.dot_clock && a.h_sync_start == b.h_sync_start &&
           a.h_sync_end == b.h_sync_end && a.h_total == b.h_total &&
           a.h_skew == b.h_skew && a.v_sync_start == b.v_sync_start &&
           a.v_sync_end == b.v_sync_end && a.v_total == b.v_total &&
           a.flags == b.flags;
}

bool operator==(const Panning &a, const Panning &b)
{
    return a.left == b.left && a.top == b.top && a.width == b.width &&
           a.height == b.height && a.track_left == b.track_left &&
           a.track_top == b.track_top && a.track_width == b.track_width &&
           a.track_height == b.track_height && a.border_left == b.border_left &&
           a.border_top == b.border_top && a.border_right == b.border_right &&
           a.border_bottom == b.border_bottom;
}

bool same(const Crtc &a, const Crtc &b)
{
    return a.mode.id == b.mode.id &&
           (a.mode.id == 0 ||
            (a.x == b.x && a.y == b.y && a.rotation == b.rotation &&
             same_transform(a, b) && a.panning == b.panning &&
             a.outputs == b.outputs));
}

Edges covered(const Crtc &crtc)
{
    if (crtc.mode.id == 0)
        return {};
    if (crtc.panning.width > 0 && crtc.panning.height > 0)
        return {std::int64_t{crtc.panning.left} + crtc.panning.width,
                std::int64_t{crtc.panning.top} + crtc.panning.height};
    const bool turned = crtc.rotation & (RR_Rotate_90 | RR_Rotate_270);
    const double width = turned ? crtc.mode.height : crtc.mode.width;
    const double height = turned ? crtc.mode.width : crtc.mode.height;
    // As xrandr sizes the screen: the far corner, translation included.
    const Transform &m = crtc.transform;
    double right = 0;
    double bottom = 0;
    bool first = true;
    for (const auto &[x, y] :
         {std::pair{0.0, 0.0}, std::pair{width, 0.0}, std::pair{0.0, height},
          std::pair{width, height}}) {
        const double w = (m[2][0] * x + m[2][1] * y + m[2][2]) / fixed_one;
        if (w <= 0)
            return {crtc.x + static_cast<std::int64_t>(width),
                    crtc.y + static_cast<std::int64_t>(height)};
        const double screen_x =
            (m[0][0] * x + m[0][1] * y + m[0][2]) / fixed_one / w;
        const double screen_y =
            (m[1][0] * x + m[1][1] * y + m[1][2]) / fixed_one / w;
        right = first ? screen_x : std::max(right, screen_x);
        bottom = first ? screen_y : std::max(bottom, screen_y);
        first = false;
    }
    return {crtc.x + static_cast<std::int64_t>(std::ceil(right)),
            crtc.y + static_cast<std::int64_t>(std::ceil(bottom))};
}

Layout layout_to_give_back(const Layout &desktop, const Notes &notes,
                           const Layout &now)
{
    Layout wanted = now;
    if (notes.startup_failed)
        return wanted;
    bool changing = false;
    for (Crtc &crtc : wanted.crtcs) {
        const Crtc shown = crtc;
        crtc = wanted_crtc(shown, desktop, notes, now);
        changing = changing || !same(shown, crtc);
    }
    // Another client's change, the screen's size with it, is kept whole.
    if (!changing)
        return wanted;

    std::int64_t width = 0;
    std::int64_t height = 0;
    bool went_off = false;
    for (const Crtc &crtc : wanted.crtcs) {
        const Edges edges = covered(crtc);
        width = std::max(width, edges.right);
        height = std::max(height, edges.bottom);
        const Crtc *was = find_crtc(desktop.crtcs, crtc.id);
        went_off = went_off || (crtc.mode.id == 0 && was && was->mode.id != 0);
    }
    if (!went_off) {
        width = std::max<std::int64_t>(width, desktop.screen.width);
        height = std::max<std::int64_t>(height, desktop.screen.height);
    }
    if (now.largest.width > 0 && now.largest.height > 0) {
        width = std::clamp<std::int64_t>(width, now.smallest.width,
                                         now.largest.width);
        height = std::clamp<std::int64_t>(height, now.smallest.height,
                                          now.largest.height);
    }
    // The desktop's size of a pixel; RandR refuses a size of 0 mm.
    const ScreenSize &size =
        desktop.screen.width > 0 ? desktop.screen : now.screen;
    wanted.screen.width = static_cast<std::int32_t>(width);
    wanted.screen.height = static_cast<std::int32_t>(height);
    wanted.screen.width_mm = static_cast<std::int32_t>(std::max<std::int64_t>(
        1, size.width_mm * width / std::max(1, size.width)));
    wanted.screen.height_mm = static_cast<std::int32_t>(std::max<std::int64_t>(
        1, size.height_mm * height / std::max(1, size.height)));
    return wanted;
}

Layout set_layout(const Layout &now, const Layout &wanted,
                  const LayoutRequests &requests)
{
    Layout shown = now;
    if (set_in_order(shown, wanted, requests))
        return shown;
    // A CRTC meant to go off stays off where its monitors were to be off,
    // not where they were to move to another CRTC (a mirror's twin).
    Layout before = now;
    for (std::size_t i = 0; i < before.crtcs.size(); ++i)
        if (wanted.crtcs[i].mode.id == 0 &&
            !std::any_of(now.crtcs[i].outputs.begin(),
                         now.crtcs[i].outputs.end(),
                         [&wanted](std::uint64_t output) {
                             return driven(wanted, output);
                         }))
            before.crtcs[i] = wanted.crtcs[i];
    set_in_order(shown, before, requests);
    return shown;
}
