// The amplitude choices: list index i is the device's amplitude code i, shown in whole millivolts.
#pragma once

#include <array>
#include <string>
#include <string_view>

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

// What a text typed in millivolts names in the list. Only the list's own texts are taken; the others are
// refused with what is nearest.
enum class AmplitudeVerdict {
    Listed,        // one of the list's texts: index is its entry
    NotNumeric,    // not a number (the frequency box's rule for what is numeric)
    BelowList,     // below the first entry; index is 0
    AboveList,     // above the last entry; index is VOUT_ENTRY_COUNT - 1
    NotAsWritten,  // an entry's value written another way ("1161.0"): index is that entry
    Between,       // between two entries: index is the one above, index - 1 the one below
};

struct AmplitudeChoice {
    AmplitudeVerdict verdict = AmplitudeVerdict::NotNumeric;
    int index = -1;  // -1 for NotNumeric
};

AmplitudeChoice AmplitudeIndexOf(std::string_view millivolts);

}  // namespace tarvo
