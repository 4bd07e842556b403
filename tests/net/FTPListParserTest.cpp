// The listing parser on the cases of tests/data/net/listings.json: listings captured from real
// servers (tests/data/listings), lines they do not show, and its limits; each listing whole and cut
// at every byte, parsed an hour east of UTC so that a LIST date taken as UTC shows.
#include "net/FTPListParser.h"

#include "NetTestData.h"
#include "net/NetErrors.h"
#include "support/ServerProcess.h"

#include <ctime>
#include <gtest/gtest.h>
#include <string>

using namespace zr::net;
using namespace quillate::testing;

namespace {

// [name, type, size, modified, link target]; MLSD dates are UTC, LIST dates the local wall clock.
json Item(const TFTPListItem& item, bool utc) {
    static const char* const types[] = {"file", "dir", "link", "other"};
    return {item.FileName, types[static_cast<int>(item.ItemType)], item.Size,
            item.ModifiedDate ? json(Stamp(*item.ModifiedDate, utc)) : json(), item.LinkTarget};
}

std::time_t UtcTime(const std::string& text) {
    std::tm parts{};
    strptime(text.c_str(), "%Y-%m-%d %H:%M", &parts);
    return timegm(&parts);
}

class Listings : public ::testing::TestWithParam<json> {};

TEST_P(Listings, GiveTheSameItemsWhereverTheInputIsCut) {
    TScopedEnvironment zone("TZ", CET);
    const auto& c = GetParam();
    const std::string text =
        c.contains("file")
            ? ReadTextFile(std::string(QUILLATE_TEST_DATA_DIR) + "/listings/" + c["file"].get<std::string>())
            : Text(c["text"]);
    ASSERT_FALSE(text.empty());
    const auto format = c["format"] == "mlsd"    ? TFTPListFormat::lfMLSD
                        : c["format"] == "names" ? TFTPListFormat::lfNames
                                                 : TFTPListFormat::lfDetect;
    TListingLimits limits;
    limits.MaxLineLength = c.value("maxLineLength", limits.MaxLineLength);
    limits.MaxLines = c.value("maxLines", limits.MaxLines);
    limits.MaxBytes = c.value("maxBytes", limits.MaxBytes);
    limits.MaxRefusedKept = c.value("maxRefusedKept", limits.MaxRefusedKept);
    auto parse = [&](const std::vector<std::string_view>& pieces) {
        TFTPListingParser parser(format, UtcTime(c["now"]), limits, true);
        for (auto piece : pieces)
            parser.Feed(piece);
        parser.Finish();
        return parser;
    };
    std::optional<std::vector<std::string>> lines; // those kept from the whole listing, fed first
    ExpectSameWhereverCut<EProtocolError>(c, text, c.value("items", json()), [&](const auto& pieces) {
        auto parser = parse(pieces);
        if (!lines)
            lines = parser.Lines();
        EXPECT_EQ(parser.Lines(), *lines);
        EXPECT_EQ(lines->size(), c.value("lines", lines->size()));
        json items = json::array();
        for (const auto& item : parser.Items())
            items.push_back(Item(item, format == TFTPListFormat::lfMLSD));
        for (const auto& refused : parser.Refused())
            items.push_back({refused.Name, "refused", refused.Reason});
        EXPECT_EQ(parser.RefusedCount(), c.value("refusedCount", parser.Refused().size()));
        return items;
    });
}

INSTANTIATE_TEST_SUITE_P(Data, Listings, ::testing::ValuesIn(LoadCases("listings.json")), CaseName);

} // namespace
