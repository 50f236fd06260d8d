#include "AmplitudeList.h"

#include <algorithm>
#include <cmath>

namespace tarvo {

int AmplitudeMillivolts(int index) {
    // volatile keeps each product rounded to double before the next step, whatever the compiler's contraction.
    volatile double n = index + 16;
    volatile double a = n * 0.247;
    volatile double b = a * 12.5;
    volatile double d = b + 0.5;
    return static_cast<int>(std::floor(d));
}

const std::array<std::string, VOUT_ENTRY_COUNT>& AmplitudeTexts() {
    static const auto texts = [] {
        std::array<std::string, VOUT_ENTRY_COUNT> t;
        for (int i = 0; i < VOUT_ENTRY_COUNT; ++i) t[i] = std::to_string(AmplitudeMillivolts(i));
        return t;
    }();
    return texts;
}

int NearestAmplitudeIndex(double millivolts) {
    static const auto millivoltsOf = [] {
        std::array<int, VOUT_ENTRY_COUNT> mv{};
        for (int i = 0; i < VOUT_ENTRY_COUNT; ++i) mv[i] = AmplitudeMillivolts(i);
        return mv;
    }();
    // The first entry not below the value; the entries rise strictly.
    const auto above = std::lower_bound(millivoltsOf.begin(), millivoltsOf.end(), millivolts,
                                        [](int entry, double value) { return entry < value; });
    if (above == millivoltsOf.begin()) return 0;
    if (above == millivoltsOf.end()) return VOUT_ENTRY_COUNT - 1;
    const auto below = above - 1;
    const int index = static_cast<int>(above - millivoltsOf.begin());
    return millivolts - *below <= *above - millivolts ? index - 1 : index;
}

}  // namespace tarvo
