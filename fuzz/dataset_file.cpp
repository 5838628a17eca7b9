// A dataset file (JSON Lines) read under the task of one card of the packaged catalogue. The first
// line of the input names the card; the rest is the file.
#include <map>

#include "corvex/core/catalog.hpp"
#include "corvex/core/dataset.hpp"
#include "corvex/core/error.hpp"
#include "support/fuzz_input.hpp"

using namespace velora::core::corvex;

namespace {

const std::string kCatalogue = VELORA_SOURCE_DIR "/src/python/corvex/catalog";

// The packaged cards, each with its one split pointed at the scratch dataset file.
std::map<std::string, CardSpec, std::less<>> cards_reading(const velora::fuzz::ScratchFolder& folder) {
    std::map<std::string, CardSpec, std::less<>> cards;
    for (const auto& id : list_cards(kCatalogue)) {
        CardSpec card = load_card(kCatalogue, id);
        card.catalog_root = folder.path().string();
        card.splits = {{"test", "data.jsonl"}};
        cards.emplace(id, std::move(card));
    }
    return cards;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const velora::fuzz::ScratchFolder folder;
    static const auto cards = cards_reading(folder);
    const auto [card_id, file] = velora::fuzz::cut_at(velora::fuzz::text_of(data, size), '\n');
    const auto card = cards.find(card_id);
    if (card == cards.end()) return 0;
    folder.write("data.jsonl", file);
    try {
        load_instances(card->second, "test", std::nullopt);
    } catch (const CorvexError&) {
    }
    return 0;
}
