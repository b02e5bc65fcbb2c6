// The "MainRun" registry value as the host side reads it: portable, so the
// reading of whatever the registry holds is tested and fuzzed natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vexa::plus {

// The buffer offered to the registry, its terminating NUL included.
inline constexpr std::size_t kMainRunLimit = 80;
// The registry's string types (the Win32 values of REG_SZ and REG_EXPAND_SZ).
inline constexpr std::uint32_t kRegistryString = 1;
inline constexpr std::uint32_t kRegistryExpandString = 2;

// The text of a "MainRun" value as RegQueryValueExA returned it into a zeroed
// buffer of kMainRunLimit bytes: the bytes up to the first NUL. Nothing for a
// value that is not a string (REG_SZ or REG_EXPAND_SZ), or whose text with its
// NUL does not fit in kMainRunLimit bytes.
std::optional<std::string> MainRunText(std::uint32_t type, const char* bytes, std::size_t size);

}  // namespace vexa::plus
