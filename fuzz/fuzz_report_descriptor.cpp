// Report descriptors of any content, as a device may present them.
#include "device/HidReportDescriptor.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto descriptor = std::make_unique<std::uint8_t[]>(size);
    if (size) std::memcpy(descriptor.get(), data, size);
    const tarvo::ReportLengths lengths = tarvo::ParseReportLengths(descriptor.get(), size);
    // Without a single item there is no report of any kind.
    if (size == 0 && (lengths.input || lengths.output || lengths.feature)) std::abort();
    // Deterministic: the same bytes give the same lengths.
    const tarvo::ReportLengths again = tarvo::ParseReportLengths(descriptor.get(), size);
    if (again.input != lengths.input || again.output != lengths.output || again.feature != lengths.feature)
        std::abort();
    return 0;
}
