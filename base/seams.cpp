#include "base/seams.h"

Seams& CurrentSeams() {
    static Seams seams = RealSeams();
    return seams;
}
