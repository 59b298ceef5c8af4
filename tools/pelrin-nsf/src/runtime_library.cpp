#include "runtime_library.hpp"

#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace pelrin_nsf {

RuntimeLibrary::RuntimeLibrary(const std::vector<std::string> &names, const char *what, const char *option)
    : what_(what) {
    std::string tried;
    for (const std::string &name : names) {
#if defined(_WIN32)
        handle_ = reinterpret_cast<void *>(LoadLibraryA(name.c_str()));
#else
        handle_ = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
        if (handle_) return;
        tried += (tried.empty() ? "" : ", ") + name;
    }
    throw std::runtime_error(std::string(option) + " needs " + what + ", which is not installed (tried " + tried +
                             ")");
}

void *RuntimeLibrary::symbol(const char *name) const {
#if defined(_WIN32)
    void *found = reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
    void *found = dlsym(handle_, name);
#endif
    if (!found) throw std::runtime_error("the installed " + what_ + " lacks " + name);
    return found;
}

} // namespace pelrin_nsf
