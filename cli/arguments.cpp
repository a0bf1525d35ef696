#include "cli/arguments.hpp"

namespace cardwrap {

bool typed_as_received(int argc, const wchar_t *received, int typed_argc, const wchar_t *typed)
{
    return argc == typed_argc && received != nullptr && typed != nullptr &&
           std::wcscmp(received, typed) == 0;
}

} // namespace cardwrap
