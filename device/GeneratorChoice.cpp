#include "GeneratorChoice.h"

#include <algorithm>

namespace tarvo {

GeneratorChoice ChooseGenerator(const std::vector<std::string>& serials, const std::optional<std::string>& wanted) {
    if (serials.empty()) return {GeneratorChoiceOutcome::NoneAttached};
    if (!wanted) {
        if (serials.size() == 1) return {GeneratorChoiceOutcome::Chosen, 0, 1};
        return {GeneratorChoiceOutcome::Several, 0, serials.size()};
    }
    const auto count = static_cast<std::size_t>(std::count(serials.begin(), serials.end(), *wanted));
    if (count == 0) return {GeneratorChoiceOutcome::NotAttached};
    if (count > 1) return {GeneratorChoiceOutcome::Duplicated, 0, count};
    return {GeneratorChoiceOutcome::Chosen,
            static_cast<std::size_t>(std::find(serials.begin(), serials.end(), *wanted) - serials.begin()), 1};
}

}  // namespace tarvo
