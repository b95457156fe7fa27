// Runs a fuzz target over saved inputs without libFuzzer, so that every build (any
// compiler, with or without sanitizers) checks the seed corpus and the inputs that once
// crashed a target. Arguments are files or directories of files; exits non-zero when an
// argument cannot be read. A target that finds a fault aborts, which fails the run.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool runFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    // A copy of exactly the input's size, so that a read past its end is caught.
    std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code error;
        if (!std::filesystem::is_directory(arg, error)) {
            files.push_back(arg);
            continue;
        }
        std::vector<std::filesystem::path> inDirectory;
        for (const auto& entry : std::filesystem::directory_iterator(arg))
            if (entry.is_regular_file())
                inDirectory.push_back(entry.path());
        std::sort(inDirectory.begin(), inDirectory.end());
        files.insert(files.end(), inDirectory.begin(), inDirectory.end());
    }
    bool ok = true;
    for (const auto& file : files)
        ok = runFile(file) && ok;
    std::printf("%zu inputs run\n", files.size());
    return ok ? 0 : 1;
}
