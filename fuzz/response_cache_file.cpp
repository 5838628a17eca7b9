// A file handed to the response cache: whatever it holds is either taken as a cache (then read and
// written) or refused with ResponseCacheError.
#include <filesystem>

#include "common/response_cache.hpp"
#include "support/fuzz_input.hpp"

using velora::core::ResponseCache;
using velora::core::ResponseCacheError;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const velora::fuzz::ScratchFolder folder;
    for (const char* left_over : {"cache.sqlite-wal", "cache.sqlite-shm"}) {
        std::filesystem::remove(folder.path() / left_over);
    }
    const auto file = folder.write("cache.sqlite", velora::fuzz::text_of(data, size));
    try {
        ResponseCache cache(file.string());
        cache.find("key");
        cache.store("key", {"text", "stop"});
    } catch (const ResponseCacheError&) {
    }
    return 0;
}
