#include "net/LineEndConverter.h"

#include <gtest/gtest.h>

#include <string>

using namespace zr::net;

namespace {

using TDirection = TLineEndConverter::TDirection;

struct TConvertCase {
    TDirection Direction;
    std::string In;
    std::string Out;
};

// Converts in two chunks cut at `cut`, so that every CR of the input sits at a chunk's end once.
std::string Convert(const TConvertCase& c, std::size_t cut) {
    TLineEndConverter converter(c.Direction);
    std::string out(converter.Convert(std::string_view(c.In).substr(0, cut)));
    out += converter.Convert(std::string_view(c.In).substr(cut));
    out += converter.Finish();
    return out;
}

class LineEnds : public ::testing::TestWithParam<TConvertCase> {};

TEST_P(LineEnds, ConvertTheSameWhereverAChunkEnds) {
    for (std::size_t cut = 0; cut <= GetParam().In.size(); ++cut)
        EXPECT_EQ(Convert(GetParam(), cut), GetParam().Out) << "cut at " << cut;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineEnds,
    ::testing::Values(TConvertCase{TDirection::ldToLocal, "one\r\ntwo\r\n\r\nthree", "one\ntwo\n\nthree"},
                      TConvertCase{TDirection::ldToLocal, "lone\rcr\r\r\n", "lone\rcr\r\n"},
                      TConvertCase{TDirection::ldToLocal, "ends in cr\r", "ends in cr\r"},
                      TConvertCase{TDirection::ldToLocal, "bare\nlf", "bare\nlf"},
                      TConvertCase{TDirection::ldToNetwork, "one\ntwo\n\nthree", "one\r\ntwo\r\n\r\nthree"},
                      TConvertCase{TDirection::ldToNetwork, "already\r\nnetwork\r\n", "already\r\nnetwork\r\n"},
                      TConvertCase{TDirection::ldToNetwork, "cr\r\rlf\n", "cr\r\rlf\r\n"}));

} // namespace
