// display-loss-test: zlib licence, see LICENSE.
//
// The desktop's layout read from the X server into plain records, and a
// layout applied back: thin steps around the decision in x11_layout.cpp.

#include "x11_internal.h"

#include <X11/extensions/Xrandr.h>

#include <algorithm>

namespace
{

Mode mode_of(const XRRScreenResources *resources, RRMode id)
{
    Mode mode;
    for (int i = 0; i < resources->nmode && id != None; ++i) {
        const XRRModeInfo &info = resources->modes[i];
        if (info.id == id)
            mode = {info.id,       info.width,      info.height,
                    info.dotClock, info.hSyncStart, info.hSyncEnd,
                    info.hTotal,   info.hSkew,      info.vSyncStart,
                    info.vSyncEnd, info.vTotal,     info.modeFlags};
    }
    return mode;
}

// Transforms and panning came with RandR 1.3.
void read_transform_and_panning(Display *x, XRRScreenResources *resources,
                                Crtc &crtc)
{
    XRRCrtcTransformAttributes *attributes = nullptr;
    if (XRRGetCrtcTransform(x, crtc.id, &attributes) && attributes) {
        for (int row = 0; row < 3; ++row)
            for (int column = 0; column < 3; ++column)
                crtc.transform[row][column] =
                    attributes->currentTransform.matrix[row][column];
        crtc.filter =
            attributes->currentFilter ? attributes->currentFilter : "";
        crtc.filter_params.assign(attributes->currentParams,
                                  attributes->currentParams +
                                      attributes->currentNparams);
        XFree(attributes);
    }
    if (XRRPanning *panning = XRRGetPanning(x, resources, crtc.id)) {
        crtc.panning = {static_cast<std::int32_t>(panning->left),
                        static_cast<std::int32_t>(panning->top),
                        static_cast<std::int32_t>(panning->width),
                        static_cast<std::int32_t>(panning->height),
                        static_cast<std::int32_t>(panning->track_left),
                        static_cast<std::int32_t>(panning->track_top),
                        static_cast<std::int32_t>(panning->track_width),
                        static_cast<std::int32_t>(panning->track_height),
                        panning->border_left,
                        panning->border_top,
                        panning->border_right,
                        panning->border_bottom};
        XRRFreePanning(panning);
    }
}

void read_resources(Display *x, XRRScreenResources *resources, bool since_1_3,
                    Layout &layout)
{
    for (int i = 0; i < resources->ncrtc; ++i) {
        XRRCrtcInfo *info = XRRGetCrtcInfo(x, resources, resources->crtcs[i]);
        if (!info)
            continue;
        Crtc crtc;
        crtc.id = resources->crtcs[i];
        crtc.x = info->x;
        crtc.y = info->y;
        crtc.mode = mode_of(resources, info->mode);
        crtc.rotation = info->rotation;
        crtc.outputs.assign(info->outputs, info->outputs + info->noutput);
        XRRFreeCrtcInfo(info);
        if (since_1_3)
            read_transform_and_panning(x, resources, crtc);
        layout.crtcs.push_back(crtc);
    }
    for (int i = 0; i < resources->noutput; ++i) {
        XRROutputInfo *info =
            XRRGetOutputInfo(x, resources, resources->outputs[i]);
        if (!info)
            continue;
        Output output;
        output.id = resources->outputs[i];
        for (int m = 0; m < info->nmode; ++m)
            output.modes.push_back(mode_of(resources, info->modes[m]));
        XRRFreeOutputInfo(info);
        layout.outputs.push_back(output);
    }
}

void set_transform(Display *x, const Crtc &crtc)
{
    XTransform transform;
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column)
            transform.matrix[row][column] = crtc.transform[row][column];
    std::vector<XFixed> params(crtc.filter_params.begin(),
                               crtc.filter_params.end());
    XRRSetCrtcTransform(x, crtc.id, &transform, crtc.filter.c_str(),
                        params.data(), static_cast<int>(params.size()));
}

bool set_crtc(Display *x, XRRScreenResources *resources, const Crtc &crtc)
{
    std::vector<RROutput> outputs(crtc.outputs.begin(), crtc.outputs.end());
    return XRRSetCrtcConfig(x, resources, crtc.id, CurrentTime, crtc.x, crtc.y,
                            crtc.mode.id, static_cast<Rotation>(crtc.rotation),
                            outputs.data(), static_cast<int>(outputs.size())) ==
           RRSetConfigSuccess;
}

bool set_panning(Display *x, XRRScreenResources *resources, const Crtc &crtc)
{
    const Panning &p = crtc.panning;
    XRRPanning panning = {CurrentTime,
                          static_cast<unsigned>(p.left),
                          static_cast<unsigned>(p.top),
                          static_cast<unsigned>(p.width),
                          static_cast<unsigned>(p.height),
                          static_cast<unsigned>(p.track_left),
                          static_cast<unsigned>(p.track_top),
                          static_cast<unsigned>(p.track_width),
                          static_cast<unsigned>(p.track_height),
                          p.border_left,
                          p.border_top,
                          p.border_right,
                          p.border_bottom};
    return XRRSetPanning(x, resources, crtc.id, &panning) == RRSetConfigSuccess;
}

} // namespace

bool read_layout(Display *x, Layout &layout)
{
    int event_base;
    int error_base;
    int major;
    int minor;
    if (!XRRQueryExtension(x, &event_base, &error_base) ||
        !XRRQueryVersion(x, &major, &minor))
        return false;
    grab_x_errors(x);
    // The screen's size as this connection last heard of it: a watcher's
    // connection, open since the start, hears of each change.
    while (XPending(x)) {
        XEvent event;
        XNextEvent(x, &event);
        XRRUpdateConfiguration(&event);
    }
    const Window root = DefaultRootWindow(x);
    const int screen = DefaultScreen(x);
    layout.screen = {DisplayWidth(x, screen), DisplayHeight(x, screen),
                     DisplayWidthMM(x, screen), DisplayHeightMM(x, screen)};
    XRRGetScreenSizeRange(x, root, &layout.smallest.width,
                          &layout.smallest.height, &layout.largest.width,
                          &layout.largest.height);
    XRRScreenResources *resources = XRRGetScreenResourcesCurrent(x, root);
    if (resources) {
        read_resources(x, resources, major > 1 || minor >= 3, layout);
        XRRFreeScreenResources(resources);
    }
    release_x_errors(x);
    return resources != nullptr;
}

void apply_layout(Display *x, const Layout &now, const Layout &wanted)
{
    const Window root = DefaultRootWindow(x);
    XRRScreenResources *resources = XRRGetScreenResourcesCurrent(x, root);
    if (!resources)
        return;
    grab_x_errors(x);
    const LayoutRequests requests = {
        [x, root](const ScreenSize &size) {
            XRRSetScreenSize(x, root, size.width, size.height, size.width_mm,
                             size.height_mm);
        },
        [x](const Crtc &crtc) { set_transform(x, crtc); },
        [x, resources](const Crtc &crtc) {
            return set_crtc(x, resources, crtc);
        },
        [x, resources](const Crtc &crtc) {
            return set_panning(x, resources, crtc);
        },
        [x] { return x_requests_taken(x); }};
    set_layout(now, wanted, requests);
    release_x_errors(x);
    XRRFreeScreenResources(resources);
}
