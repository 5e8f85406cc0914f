#include "ui/anchor_layout.h"

namespace {

// One axis of a rectangle: near and far edge of the control and of the client.
struct Axis {
    long* near;
    long* far;
};

enum class AxisMode { Leave, KeepFar, Stretch };

AxisMode HorizontalMode(unsigned flags) {
    switch (flags & kAnchorHorizontalMask) {
        case kAnchorKeepRight:
            return AxisMode::KeepFar;
        case kAnchorStretchRight:
            return AxisMode::Stretch;
        default:
            return AxisMode::Leave;
    }
}

AxisMode VerticalMode(unsigned flags) {
    switch (flags & kAnchorVerticalMask) {
        case kAnchorKeepBottom:
            return AxisMode::KeepFar;
        case kAnchorStretchBottom:
            return AxisMode::Stretch;
        default:
            return AxisMode::Leave;
    }
}

// What is stored per axis:
//   keep-far: near = size, far = far-edge offset from the client's far edge
//   stretch:  near = near-edge offset, far = far-edge offset
//   leave:    the control's edges unchanged
void CaptureAxis(AxisMode mode, long clientNear, long clientFar, long controlNear, long controlFar,
                 Axis out) {
    switch (mode) {
        case AxisMode::KeepFar:
            *out.near = controlFar - controlNear;
            *out.far = controlFar - clientFar;
            break;
        case AxisMode::Stretch:
            *out.near = controlNear - clientNear;
            *out.far = controlFar - clientFar;
            break;
        case AxisMode::Leave:
            break;
    }
}

void ApplyAxis(AxisMode mode, long clientFar, long storedNear, long storedFar, Axis out) {
    switch (mode) {
        case AxisMode::KeepFar:
            *out.far = clientFar + storedFar;
            *out.near = *out.far - storedNear;
            break;
        case AxisMode::Stretch:
            *out.far = clientFar + storedFar;
            break;
        case AxisMode::Leave:
            break;
    }
}

}  // namespace

AnchorRect CaptureAnchor(unsigned flags, const AnchorRect& client, const AnchorRect& control) {
    AnchorRect r = control;
    CaptureAxis(HorizontalMode(flags), client.left, client.right, control.left, control.right,
                {&r.left, &r.right});
    CaptureAxis(VerticalMode(flags), client.top, client.bottom, control.top, control.bottom,
                {&r.top, &r.bottom});
    return r;
}

AnchorRect ApplyAnchor(unsigned flags, const AnchorRect& client, const AnchorRect& current,
                       const AnchorRect& captured) {
    AnchorRect r = current;
    ApplyAxis(HorizontalMode(flags), client.right, captured.left, captured.right,
              {&r.left, &r.right});
    ApplyAxis(VerticalMode(flags), client.bottom, captured.top, captured.bottom,
              {&r.top, &r.bottom});
    return r;
}
