// The fixed parts of the web pages: the start of every page, the control page's script and the style sheet.
// Nothing is loaded from another site: a bench network often has no internet.
#pragma once

#include <string>
#include <string_view>

namespace tarvo::scpi {

// From the doctype to the opening <main>, with the page's title.
std::string PageHead(std::string_view title);
std::string_view ControlScript();
std::string_view StyleSheet();

}  // namespace tarvo::scpi
