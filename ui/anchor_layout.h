#pragma once
// Control anchoring for the resizable watcher dialog. Flags per control: bits
// 0-1 horizontal, bits 2-3 vertical.
//   2 / 8:  keep size and distance to the right / bottom edge (moves with it)
//   3 / 12: near edge stays, far edge keeps its distance (grows with it)
//   other:  the axis is left alone

#include <cstdint>
#include <span>

struct AnchorRect {
    long left = 0, top = 0, right = 0, bottom = 0;
};

struct AnchorEntry {
    int controlId;
    unsigned flags;
};

// What CaptureAnchor stores for one control, per axis.
struct AnchorStore {
    AnchorRect stored;
};

constexpr unsigned kAnchorHorizontalMask = 0x3;
constexpr unsigned kAnchorVerticalMask = 0xC;
constexpr unsigned kAnchorKeepRight = 2;
constexpr unsigned kAnchorStretchRight = 3;
constexpr unsigned kAnchorKeepBottom = 8;
constexpr unsigned kAnchorStretchBottom = 12;

// At initialisation: from the client rectangle and the control's rectangle (in
// client coordinates), what ApplyAnchor needs later.
AnchorRect CaptureAnchor(unsigned flags, const AnchorRect& client, const AnchorRect& control);

// On resize: the control's new rectangle from the new client rectangle, its
// current rectangle and what was captured.
AnchorRect ApplyAnchor(unsigned flags, const AnchorRect& client, const AnchorRect& current,
                       const AnchorRect& captured);
