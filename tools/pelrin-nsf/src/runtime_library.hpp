// A shared library opened while the program runs, for an option that only
// some runs use (SDL2 for --play, libpng for --picture). A render to a file
// then does not load them and the dozens of libraries SDL2 depends on,
// which cost every start some ten milliseconds.
#pragma once

#include <string>
#include <vector>

namespace pelrin_nsf {

class RuntimeLibrary {
public:
    // Opens the first of `names` that loads; throws std::runtime_error
    // saying that `option` needs `what` when none does. The library stays
    // loaded until the process ends.
    RuntimeLibrary(const std::vector<std::string> &names, const char *what, const char *option);
    // Sets `function` to the library's function `name`; throws when it has none.
    template <class Function>
    void find(Function &function, const char *name) const {
        function = reinterpret_cast<Function>(symbol(name));
    }

private:
    void *symbol(const char *name) const;
    void *handle_ = nullptr;
    std::string what_;
};

} // namespace pelrin_nsf
