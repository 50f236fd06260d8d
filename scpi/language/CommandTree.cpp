#include "CommandTree.h"

namespace tarvo::scpi {
namespace {

bool NodesMatch(const std::vector<HeaderPattern::Node>& nodes, std::size_t n, const std::vector<Mnemonic>& words,
                std::size_t w) {
    if (n == nodes.size()) return w == words.size();
    const HeaderPattern::Node& node = nodes[n];
    if (w < words.size() && (words[w].suffix < 0 || node.suffix))
        for (const std::string& spelling : node.spellings)
            if (KeywordMatches(words[w].name, spelling) && NodesMatch(nodes, n + 1, words, w + 1)) return true;
    return node.optional && NodesMatch(nodes, n + 1, words, w);
}

}  // namespace

HeaderPattern ParsePattern(std::string_view pattern) {
    HeaderPattern p;
    if (pattern.front() == '*') {
        p.common = true;
        p.name = std::string(pattern.substr(1));
        return p;
    }
    while (!pattern.empty()) {
        const std::size_t colon = pattern.find(':');
        std::string_view element = pattern.substr(0, colon);
        pattern = colon == std::string_view::npos ? std::string_view() : pattern.substr(colon + 1);
        HeaderPattern::Node node;
        if (element.front() == '[') {
            node.optional = true;
            element = element.substr(1, element.size() - 2);
        }
        if (element.back() == '#') {
            node.suffix = true;
            element.remove_suffix(1);
        }
        while (!element.empty()) {
            const std::size_t bar = element.find('|');
            node.spellings.emplace_back(element.substr(0, bar));
            element = bar == std::string_view::npos ? std::string_view() : element.substr(bar + 1);
        }
        p.nodes.push_back(std::move(node));
    }
    return p;
}

bool HeaderMatches(const HeaderPattern& pattern, const ProgramUnit& unit, const std::vector<Mnemonic>& words) {
    if (pattern.common != unit.common) return false;
    if (pattern.common)
        return KeywordMatches(unit.mnemonics.front().name, pattern.name) && unit.mnemonics.front().suffix < 0;
    return NodesMatch(pattern.nodes, 0, words, 0);
}

}  // namespace tarvo::scpi
