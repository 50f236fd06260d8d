// Which attached generator a program works with, the one rule of tarvo-pulse-ctl and tarvo-pulse-scpi: the one
// with the serial number asked for, or without one the only generator attached. Never a guess: two generators
// that report the same serial number cannot be told apart, so that serial number is refused.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tarvo {

enum class GeneratorChoiceOutcome {
    Chosen,
    NoneAttached,  // nothing is attached
    NotAttached,   // none has the serial number asked for
    Several,       // several are attached and none was asked for
    Duplicated,    // several report the serial number asked for
};

struct GeneratorChoice {
    GeneratorChoiceOutcome outcome = GeneratorChoiceOutcome::Chosen;
    std::size_t index = 0;  // Chosen: in the list
    std::size_t count = 0;  // Several: generators attached; Duplicated: generators with that serial number
};

// `serials`: the attached generators in walk order (ListGenerators), a serial number once per generator.
GeneratorChoice ChooseGenerator(const std::vector<std::string>& serials, const std::optional<std::string>& wanted);

}  // namespace tarvo
