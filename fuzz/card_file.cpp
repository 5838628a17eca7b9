// A card file of the evaluation library's catalogue, read and checked as the catalogue loads it.
#include "corvex/core/catalog.hpp"
#include "corvex/core/error.hpp"
#include "support/fuzz_input.hpp"

using namespace velora::core::corvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const velora::fuzz::ScratchFolder catalog;
    catalog.write("cards/cards.fuzz.card.json", velora::fuzz::text_of(data, size));
    try {
        load_card(catalog.path().string(), "cards.fuzz.card");
    } catch (const CorvexError&) {
    }
    return 0;
}
