// The amplitude choices: list index i is the device's amplitude code i, shown in whole millivolts.
#pragma once

#include <array>
#include <string>

#include "FeatureReport.h"

namespace tarvo {

// Millivolts shown for code i, computed one IEEE double operation at a time: floor((i + 16) * 0.247 * 12.5 + 0.5).
// The order of the steps decides the rows whose exact value ends in one half (code 24 gives 123, code 104 371).
int AmplitudeMillivolts(int index);

// The 511 entry texts, built once.
const std::array<std::string, VOUT_ENTRY_COUNT>& AmplitudeTexts();

// The index of the entry nearest to a number of millivolts; exactly halfway between two entries, the lower one.
// Below the first entry 0, above the last 510: the range check is the caller's.
int NearestAmplitudeIndex(double millivolts);

}  // namespace tarvo
