// The listing parser on the cases of tests/data/net/listings.json: listings captured from real
// servers (tests/data/listings), lines they do not show, and its limits; each listing whole and cut
// at every byte, parsed an hour east of UTC so that a LIST date taken as UTC shows.
#include "net/FTPListParser.h"

#include "NetTestData.h"
#include "net/NetErrors.h"

#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
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

std::string ReadCapture(const std::string& name) {
    std::ifstream in(std::string(QUILLATE_TEST_DATA_DIR) + "/listings/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::time_t UtcTime(const std::string& text) {
    std::tm parts{};
    strptime(text.c_str(), "%Y-%m-%d %H:%M", &parts);
    return timegm(&parts);
}

class Listings : public ::testing::TestWithParam<json> {};

TEST_P(Listings, GiveTheSameItemsWhereverTheInputIsCut) {
    TScopedTimeZone zone(CET);
    const auto& c = GetParam();
    const std::string text = c.contains("file") ? ReadCapture(c["file"]) : Text(c["text"]);
    ASSERT_FALSE(text.empty());
    static const std::map<std::string, TFTPListFormat> formats{{"detect", TFTPListFormat::lfDetect},
                                                               {"mlsd", TFTPListFormat::lfMLSD},
                                                               {"names", TFTPListFormat::lfNames}};
    const auto format = formats.at(c["format"]);
    TListingLimits limits;
    limits.MaxLineLength = c.value("maxLineLength", limits.MaxLineLength);
    limits.MaxLines = c.value("maxLines", limits.MaxLines);
    auto parse = [&](const std::vector<std::string_view>& pieces) {
        auto parser = std::make_unique<TFTPListingParser>(format, UtcTime(c["now"]), limits);
        for (auto piece : pieces)
            parser->Feed(piece);
        parser->Finish();
        return parser;
    };
    auto splits = Splits(text);
    if (c.value("refused", false)) {
        EXPECT_THROW(parse(splits[0]), EProtocolError) << "whole";
        EXPECT_THROW(parse(splits[1]), EProtocolError) << "byte by byte";
        return;
    }
    const auto wholeLines = parse(splits[0])->Lines();
    EXPECT_EQ(wholeLines.size(), c.value("lines", wholeLines.size()));
    for (const auto& pieces : splits) {
        SCOPED_TRACE(::testing::Message() << pieces.size() << " pieces, the first of " << pieces[0].size());
        auto parser = parse(pieces);
        json items = json::array();
        for (const auto& item : parser->Items())
            items.push_back(Item(item, format == TFTPListFormat::lfMLSD));
        if (c["items"].is_number())
            EXPECT_EQ(items.size(), c["items"].get<std::size_t>());
        else
            EXPECT_EQ(items, c["items"]);
        EXPECT_EQ(parser->Lines(), wholeLines);
        if (HasFailure())
            return;
    }
}

INSTANTIATE_TEST_SUITE_P(Data, Listings, ::testing::ValuesIn(LoadCases("listings.json")), CaseName);

} // namespace
