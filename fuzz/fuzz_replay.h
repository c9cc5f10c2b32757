// Finds and reads the committed inputs of a fuzz target, for the unit tests that
// replay them. The corpus lies next to this header in the source tree.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace qvfuzz
{

inline std::filesystem::path CorpusFolder(const char* target)
{
    std::filesystem::path here = std::filesystem::path(__FILE__).parent_path();
    std::filesystem::path folder = here / "corpus" / target;
    std::error_code ec;
#ifdef _WIN32
    // Under Wine the build's absolute paths are reachable through drive Z:.
    if (!std::filesystem::is_directory(folder, ec)) {
        std::filesystem::path viaZ = std::filesystem::path("Z:" + folder.generic_string());
        if (std::filesystem::is_directory(viaZ, ec)) folder = viaZ;
    }
#endif
    return folder;
}

// The regular files of the target's corpus folder, sorted by name; empty when the
// folder is not there.
inline std::vector<std::filesystem::path> CorpusFiles(const char* target)
{
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    std::filesystem::path folder = CorpusFolder(target);
    if (!std::filesystem::is_directory(folder, ec)) return files;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec)) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

inline std::vector<uint8_t> ReadInput(const std::filesystem::path& path)
{
    std::vector<uint8_t> data;
    FILE* f = fopen(path.string().c_str(), "rb");
    if (!f) return data;
    uint8_t block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof(block), f)) > 0)
        data.insert(data.end(), block, block + n);
    fclose(f);
    return data;
}

} // namespace qvfuzz
