// TakeField and TakeBetween in any sequence over any text, each step held
// against the reference built on the plain character walk.
//
// Input: one byte n, then n script bytes (at most 32), then the text. Each
// script byte picks an operation and a marker; the text is the rest.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/protocol_fuzz_support.h"
#include "protocol/text.h"

using namespace vexa;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::size_t scriptLength = data[0] % 33;
    if (size < 1 + scriptLength) return 0;
    const uint8_t* script = data + 1;
    const std::string_view whole(reinterpret_cast<const char*>(data + 1 + scriptLength), size - 1 - scriptLength);
    std::string_view text = whole;
    std::string_view reference = whole;

    for (std::size_t i = 0; i < scriptLength; ++i) {
        const uint8_t op = script[i];
        const fuzz::MarkerPair& marker = fuzz::kMarkers[(op >> 2) % fuzz::kMarkerCount];
        std::string_view got, expected;
        switch (op & 3) {
        case 0:
            got = text::TakeField(text, marker.open);
            expected = fuzz::ReferenceTakeField(reference, marker.open);
            break;
        case 1:
            got = text::TakeBetween(text, marker.open, marker.close);
            expected = fuzz::ReferenceTakeBetween(reference, marker.open, marker.close);
            break;
        case 2:
            // The close marker as a field separator: the GBK pairs meet it
            // right after a lead byte.
            got = text::TakeField(text, marker.close);
            expected = fuzz::ReferenceTakeField(reference, marker.close);
            break;
        default: {
            // A needle taken from the text itself: any bytes, GBK or not.
            const std::size_t length = 1 + (op >> 2) % 4;
            const std::string_view needle = whole.substr(whole.size() > length ? whole.size() - length : 0);
            fuzz::Require(text::Find(text, needle) == text::FindByWalking(text, needle));
            continue;
        }
        }
        // Same bytes, same place: both views point into the same input.
        fuzz::Require(got.data() == expected.data() || (got.empty() && expected.empty()));
        fuzz::Require(got.size() == expected.size());
        fuzz::Require(text.data() == reference.data() || (text.empty() && reference.empty()));
        fuzz::Require(text.size() == reference.size());
        // Everything stays inside the input.
        fuzz::Require(got.empty() || (got.data() >= whole.data() && got.data() + got.size() <= whole.data() + whole.size()));
        fuzz::Require(text.empty() || text.data() + text.size() == whole.data() + whole.size());
    }
    return 0;
}
