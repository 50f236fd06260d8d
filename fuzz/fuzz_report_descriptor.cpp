// Report descriptors of any content: the parser never reads outside the descriptor, gives lengths that count
// the report ID byte, gives the same answer twice, and never gives a shorter report for a longer descriptor
// than for any of its beginnings.
#include "device/HidReportDescriptor.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace tarvo;

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

void CheckLength(std::uint16_t length) { Require(length == 0 || length >= 2); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ReportLengths whole = ParseReportLengths(data, size);
    CheckLength(whole.input);
    CheckLength(whole.output);
    CheckLength(whole.feature);

    const ReportLengths again = ParseReportLengths(data, size);
    Require(again.input == whole.input && again.output == whole.output && again.feature == whole.feature &&
            again.usagePage == whole.usagePage && again.usage == whole.usage &&
            again.usesReportIds == whole.usesReportIds && again.wellFormed == whole.wellFormed);

    // A beginning of the descriptor, in a buffer of its own length so that a read past it is caught.
    if (size > 0) {
        const std::size_t cut = data[0] % size;
        const std::vector<std::uint8_t> head(data, data + cut);
        const ReportLengths part = ParseReportLengths(head.empty() ? nullptr : head.data(), head.size());
        Require(part.input <= whole.input && part.output <= whole.output && part.feature <= whole.feature);
        Require(!part.usesReportIds || whole.usesReportIds);
    }
    return 0;
}
