#include "plus/registry_value.h"

#include <cstring>

namespace vexa::plus {

std::optional<std::string> MainRunText(std::uint32_t type, const char* bytes, std::size_t size) {
    // Other types hold no path; reading a number or a list as one would hand
    // the caller garbage.
    if (type != kRegistryString && type != kRegistryExpandString) return std::nullopt;
    if (!bytes && size != 0) return std::nullopt;
    if (size > kMainRunLimit) return std::nullopt;
    const void* nul = size ? std::memchr(bytes, '\0', size) : nullptr;
    if (nul) return std::string(bytes, static_cast<const char*>(nul) - bytes);
    // A value stored without its NUL is taken as if it had one, which must
    // still fit: its text may fill at most all but one byte of the buffer.
    if (size >= kMainRunLimit) return std::nullopt;
    return std::string(bytes, size);
}

}  // namespace vexa::plus
