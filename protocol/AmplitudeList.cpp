#include "AmplitudeList.h"

#include "FrequencyInput.h"

#include <algorithm>
#include <cmath>
#include <optional>

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

namespace {

// The index of the first entry whose millivolts are not below the value (VOUT_ENTRY_COUNT when none is); the
// entries rise strictly.
int FirstEntryNotBelow(double millivolts) {
    static const auto millivoltsOf = [] {
        std::array<int, VOUT_ENTRY_COUNT> mv{};
        for (int i = 0; i < VOUT_ENTRY_COUNT; ++i) mv[i] = AmplitudeMillivolts(i);
        return mv;
    }();
    const auto above = std::lower_bound(millivoltsOf.begin(), millivoltsOf.end(), millivolts,
                                        [](int entry, double value) { return entry < value; });
    return static_cast<int>(above - millivoltsOf.begin());
}

}  // namespace

int NearestAmplitudeIndex(double millivolts) {
    const int above = FirstEntryNotBelow(millivolts);
    if (above == 0) return 0;
    if (above == VOUT_ENTRY_COUNT) return VOUT_ENTRY_COUNT - 1;
    const int below = above - 1;
    return millivolts - AmplitudeMillivolts(below) <= AmplitudeMillivolts(above) - millivolts ? below : above;
}

AmplitudeChoice AmplitudeIndexOf(std::string_view millivolts) {
    const auto& texts = AmplitudeTexts();
    const auto exact = std::find(texts.begin(), texts.end(), millivolts);
    if (exact != texts.end()) return {AmplitudeVerdict::Listed, static_cast<int>(exact - texts.begin())};
    const std::optional<double> value = ParseFrequencyText(millivolts);
    if (!value) return {AmplitudeVerdict::NotNumeric, -1};
    const int last = VOUT_ENTRY_COUNT - 1;
    if (*value < AmplitudeMillivolts(0)) return {AmplitudeVerdict::BelowList, 0};
    if (*value > AmplitudeMillivolts(last)) return {AmplitudeVerdict::AboveList, last};
    const int above = FirstEntryNotBelow(*value);
    if (AmplitudeMillivolts(above) == *value) return {AmplitudeVerdict::NotAsWritten, above};
    return {AmplitudeVerdict::Between, above};
}

}  // namespace tarvo
