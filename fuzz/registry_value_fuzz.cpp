// The "MainRun" value is read from a registry anybody with rights may write:
// any type, any bytes, any reported size. The text taken from it is never
// longer than the buffer allows and never reaches past the bytes given.
#include <cstdint>
#include <cstring>
#include <vector>

#include "plus/registry_value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint32_t type = data[0] % 8;
    // An exactly sized copy, so a read past the value shows up at once.
    std::vector<char> bytes(data + 1, data + size);
    auto text = vexa::plus::MainRunText(type, bytes.data(), bytes.size());
    if (!text) return 0;
    if (type != vexa::plus::kRegistryString && type != vexa::plus::kRegistryExpandString) __builtin_trap();
    if (text->size() >= vexa::plus::kMainRunLimit) __builtin_trap();
    if (text->find('\0') != std::string::npos) __builtin_trap();
    if (!text->empty() && std::memcmp(text->data(), bytes.data(), text->size()) != 0) __builtin_trap();
    return 0;
}
