// Stands in for libFuzzer's driver where the compiler has none: runs every
// file named on the command line, and every file inside a named directory,
// through the fuzz target once.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::fprintf(stderr, "running %s (%zu bytes)\n", path.c_str(), bytes.size());
    // An empty vector's data() may be null; the target must see a valid pointer.
    static const std::uint8_t empty = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &empty : bytes.data(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE-OR-DIRECTORY...\n", argv[0]);
        return 2;
    }
    int failures = 0;
    std::size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg, ec)) {
                if (!entry.is_regular_file()) continue;
                failures += replay(entry.path()) ? 0 : 1;
                ++count;
            }
            if (ec) {
                std::fprintf(stderr, "cannot list %s: %s\n", arg.c_str(), ec.message().c_str());
                ++failures;
            }
        } else {
            failures += replay(arg) ? 0 : 1;
            ++count;
        }
    }
    std::fprintf(stderr, "replayed %zu inputs\n", count);
    // An empty corpus is a mistake in the command line, not a pass.
    return failures == 0 && count > 0 ? 0 : 1;
}
