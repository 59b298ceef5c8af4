#include "system_recorder.h"

namespace system_recorder {

std::vector<std::string>& Commands()
{
    static std::vector<std::string> commands;
    return commands;
}

std::function<int(const char*)>& Handler()
{
    static std::function<int(const char*)> handler;
    return handler;
}

void Reset()
{
    Commands().clear();
    Handler() = nullptr;
}

}  // namespace system_recorder

// Defined in the program itself, so the linker resolves every call to
// system(), including the one in control.cpp, here rather than in libc.
extern "C" int system(const char* command)
{
    system_recorder::Commands().emplace_back(command != nullptr ? command : "<null>");
    auto& handler = system_recorder::Handler();
    return handler ? handler(command) : 0;
}
