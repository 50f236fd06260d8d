// Any bytes into the HiSLIP message reader: it never crashes; it keeps no payload beyond its limits, however
// long a header claims; it reads the same messages whatever the bytes' split; and each message it keeps whole
// is the bytes it came from, written again.
#include "scpi/network/HislipMessages.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace h = tarvo::scpi::hislip;

namespace {

constexpr std::uint64_t MAX_DATA = 300;
constexpr std::uint64_t MAX_OTHER = 20;

void Require(bool condition) {
    if (!condition) std::abort();
}

bool SameMessages(const std::vector<h::Message>& a, const std::vector<h::Message>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].type != b[i].type || a[i].control != b[i].control || a[i].parameter != b[i].parameter ||
            a[i].length != b[i].length || a[i].payload != b[i].payload || a[i].tooLarge != b[i].tooLarge) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    h::Reader whole(MAX_DATA, MAX_OTHER);
    std::vector<h::Message> wholeOut;
    const bool wholeOk = whole.Read(bytes, wholeOut);

    // The same bytes in pieces whose lengths the bytes choose.
    h::Reader pieces(MAX_DATA, MAX_OTHER);
    std::vector<h::Message> piecesOut;
    bool piecesOk = true;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t take = std::min<std::size_t>(bytes.size() - at, 1 + static_cast<unsigned char>(bytes[at]) % 23);
        piecesOk = pieces.Read(bytes.substr(at, take), piecesOut);
        at += take;
    }
    Require(wholeOk == piecesOk);
    Require(SameMessages(wholeOut, piecesOut));

    std::string written;
    for (const h::Message& m : wholeOut) {
        const bool data = m.type == h::Data || m.type == h::DataEnd;
        Require(m.payload.size() <= (data ? MAX_DATA : MAX_OTHER));
        Require(m.tooLarge == (m.length > (data ? MAX_DATA : MAX_OTHER)));
        if (m.tooLarge) {
            Require(m.payload.empty());
            break;  // its payload is skipped, so what follows cannot be compared byte for byte
        }
        Require(m.payload.size() == m.length);
        written += h::Encode(m.type, m.control, m.parameter, m.payload);
    }
    Require(bytes.substr(0, written.size()) == written);
    return 0;
}
