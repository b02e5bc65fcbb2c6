#include "crash/exception_names.h"

namespace vexa::crash {
namespace {

struct NamedCode {
    std::uint32_t code;
    const char* name;
};

constexpr NamedCode kNamedCodes[] = {
    {0x80000001u, "GUARD_PAGE"},
    {0x80000002u, "DATATYPE_MISALIGNMENT"},
    {0x80000003u, "BREAKPOINT"},
    {0x80000004u, "SINGLE_STEP"},
    {0xC0000005u, "ACCESS_VIOLATION"},
    {0xC0000006u, "IN_PAGE_ERROR"},
    {0xC0000008u, "INVALID_HANDLE"},
    {0xC000001Du, "ILLEGAL_INSTRUCTION"},
    {0xC0000025u, "NONCONTINUABLE_EXCEPTION"},
    {0xC0000026u, "INVALID_DISPOSITION"},
    {0xC000008Cu, "ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008Du, "FLT_DENORMAL_OPERAND"},
    {0xC000008Eu, "FLT_DIVIDE_BY_ZERO"},
    {0xC000008Fu, "FLT_INEXACT_RESULT"},
    {0xC0000090u, "FLT_INVALID_OPERATION"},
    {0xC0000091u, "FLT_OVERFLOW"},
    {0xC0000092u, "FLT_STACK_CHECK"},
    {0xC0000093u, "FLT_UNDERFLOW"},
    {0xC0000094u, "INT_DIVIDE_BY_ZERO"},
    {0xC0000095u, "INT_OVERFLOW"},
    {0xC0000096u, "PRIV_INSTRUCTION"},
    {0xC00000FDu, "STACK_OVERFLOW"},
};

}  // namespace

const char* KnownExceptionName(std::uint32_t code) {
    for (const NamedCode& entry : kNamedCodes)
        if (entry.code == code) return entry.name;
    return nullptr;
}

void MakeSingleLine(char* text, std::size_t capacity) {
    if (text == nullptr || capacity == 0) return;
    std::size_t length = 0;
    while (length < capacity && text[length] != '\0') {
        if (text[length] == '\r' || text[length] == '\n') text[length] = ' ';
        ++length;
    }
    // A buffer the system filled to the brim may lack its terminator.
    if (length == capacity) --length;
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t')) --length;
    text[length] = '\0';
}

}  // namespace vexa::crash
