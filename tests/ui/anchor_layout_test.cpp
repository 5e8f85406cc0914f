#include "ui/anchor_layout.h"

#include <gtest/gtest.h>

namespace {

bool Same(const AnchorRect& a, const AnchorRect& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// The dialog's four controls, grown by 100 x 50 and shrunk by 20 x 10.
TEST(AnchorLayoutTest, ControlsFollowTheirEdgesWhenTheDialogResizes) {
    const AnchorRect client{0, 0, 400, 300};
    const struct {
        const char* name;
        unsigned flags;
        AnchorRect control;
        AnchorRect grown;  // client 500 x 350
        AnchorRect shrunk; // client 380 x 290
    } cases[] = {
        {"Pick stays bottom left", 9, {10, 270, 70, 290}, {10, 320, 70, 340}, {10, 260, 70, 280}},
        {"list view grows both ways", 15, {10, 10, 390, 260}, {10, 10, 490, 310}, {10, 10, 370, 250}},
        {"check box keeps bottom right", 10, {330, 272, 390, 286}, {430, 322, 490, 336}, {310, 262, 370, 276}},
        {"size grip keeps bottom right", 10, {390, 290, 400, 300}, {490, 340, 500, 350}, {370, 280, 380, 290}},
        {"no anchor leaves it alone", 0, {5, 5, 25, 25}, {5, 5, 25, 25}, {5, 5, 25, 25}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const AnchorRect captured = CaptureAnchor(c.flags, client, c.control);
        AnchorRect now = ApplyAnchor(c.flags, {0, 0, 500, 350}, c.control, captured);
        EXPECT_TRUE(Same(now, c.grown));
        // Resizing again starts from the control's current rectangle.
        now = ApplyAnchor(c.flags, {0, 0, 380, 290}, now, captured);
        EXPECT_TRUE(Same(now, c.shrunk));
    }
}

}  // namespace
