#include "ui/anchor_layout.h"

// The captured rectangle holds, per axis:
//   keep-far (2/8):     near = size, far = far-edge offset from the client's far edge
//   stretch (3/12):     near = near-edge offset, far = far-edge offset
//   otherwise:          the control's rectangle unchanged
AnchorRect CaptureAnchor(unsigned flags, const AnchorRect& client, const AnchorRect& control) {
    AnchorRect r = control;
    switch (flags & kAnchorHorizontalMask) {
        case kAnchorKeepRight:
            r.left = control.right - control.left;
            r.right = control.right - client.right;
            break;
        case kAnchorStretchRight:
            r.left = control.left - client.left;
            r.right = control.right - client.right;
            break;
        default:
            break;
    }
    switch (flags & kAnchorVerticalMask) {
        case kAnchorKeepBottom:
            r.top = control.bottom - control.top;
            r.bottom = control.bottom - client.bottom;
            break;
        case kAnchorStretchBottom:
            r.top = control.top - client.top;
            r.bottom = control.bottom - client.bottom;
            break;
        default:
            break;
    }
    return r;
}

AnchorRect ApplyAnchor(unsigned flags, const AnchorRect& client, const AnchorRect& current,
                       const AnchorRect& captured) {
    AnchorRect r = current;
    switch (flags & kAnchorHorizontalMask) {
        case kAnchorKeepRight:
            r.right = client.right + captured.right;
            r.left = r.right - captured.left;
            break;
        case kAnchorStretchRight:
            r.right = client.right + captured.right;
            break;
        default:
            break;
    }
    switch (flags & kAnchorVerticalMask) {
        case kAnchorKeepBottom:
            r.bottom = client.bottom + captured.bottom;
            r.top = r.bottom - captured.top;
            break;
        case kAnchorStretchBottom:
            r.bottom = client.bottom + captured.bottom;
            break;
        default:
            break;
    }
    return r;
}
