#include "AmplitudeList.h"

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

}  // namespace tarvo
