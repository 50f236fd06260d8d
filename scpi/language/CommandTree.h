// SCPI command headers as patterns, and the match of a written header against one. A pattern is keywords
// separated by ':', each with its short form in capitals; [ ] marks an optional keyword, | separates
// alternatives, # a numeric suffix. "*NAME" is a common command.
#pragma once

#include "ScpiSyntax.h"

#include <string>
#include <string_view>
#include <vector>

namespace tarvo::scpi {

struct HeaderPattern {
    struct Node {
        std::vector<std::string> spellings;  // alternatives, short form in capitals
        bool optional = false;
        bool suffix = false;  // takes a numeric suffix
    };
    bool common = false;
    std::string name;         // common commands: the name after '*'
    std::vector<Node> nodes;  // compound commands
};

HeaderPattern ParsePattern(std::string_view pattern);

// Whether a unit's header is the pattern's: a common unit by its name (no suffix); a compound one by `words`,
// its keywords from the root (the current path's, then its own).
bool HeaderMatches(const HeaderPattern& pattern, const ProgramUnit& unit, const std::vector<Mnemonic>& words);

}  // namespace tarvo::scpi
