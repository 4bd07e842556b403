// The line end conversion of ASCII transfers, on the cases of tests/data/net/line-ends.json.
#include "net/LineEndConverter.h"

#include "NetTestData.h"

#include <gtest/gtest.h>
#include <string>

using namespace zr::net;
using namespace quillate::testing;

namespace {

class LineEnds : public ::testing::TestWithParam<json> {};

TEST_P(LineEnds, ConvertTheSameWhereverAChunkEnds) {
    const std::string in = GetParam()["in"];
    for (const auto& pieces : Splits(in)) {
        TLineEndConverter converter(GetParam()["direction"] == "toLocal"
                                        ? TLineEndConverter::TDirection::ldToLocal
                                        : TLineEndConverter::TDirection::ldToNetwork);
        std::string out;
        for (auto piece : pieces)
            out += converter.Convert(piece);
        out += converter.Finish();
        EXPECT_EQ(out, GetParam()["out"]) << pieces.size() << " pieces, the first of " << pieces[0].size();
    }
}

INSTANTIATE_TEST_SUITE_P(Data, LineEnds, ::testing::ValuesIn(LoadCases("line-ends.json")), CaseName);

} // namespace
