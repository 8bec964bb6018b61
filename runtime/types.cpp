#include "types.h"

#include "exceptions.h"

void clear_string(std::string& s) noexcept
{
    scope_trace_t scope("types", 18,
                        "void __cdecl clear_string(class std::basic_string<char,struct std::char_traits<char>,class "
                        "std::allocator<char> > &)");
    // clear() alone keeps the capacity; swapping with a new string hands it back.
    std::string().swap(s);
}
