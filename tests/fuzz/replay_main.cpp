// Replays fuzz inputs without libFuzzer: each argument is a file or a folder
// of files, and every file is run once through LLVMFuzzerTestOneInput. A
// failing check aborts, so the corpus runs as an ordinary test.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

static bool runFile(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot open %s\n", p.string().c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

int main(int argc, char **argv) {
    int files = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (fs::is_directory(argv[i], ec)) {
            std::vector<fs::path> names;
            for (const auto &e : fs::directory_iterator(argv[i], ec))
                if (e.is_regular_file(ec)) names.push_back(e.path());
            std::sort(names.begin(), names.end());
            for (const auto &n : names) { ok = runFile(n) && ok; ++files; }
        } else {
            ok = runFile(argv[i]) && ok;
            ++files;
        }
    }
    std::printf("replayed %d inputs\n", files);
    return ok && files > 0 ? 0 : 1;
}
